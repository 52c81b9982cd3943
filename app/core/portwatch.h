// Tells when the list of serial ports may have changed: a serial device
// came or went, or (where the library keeps one) a COM<n> alias appeared in
// or vanished from the port directory. It sleeps on the system's
// notifications; nothing is polled. What it listens to is the platform's
// (portwatch_linux.cpp, portwatch_win32.cpp); the settling of a burst of
// events into one signal is the same everywhere.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

namespace tavorin {

class PortWatch : public QObject {
    Q_OBJECT
  public:
    explicit PortWatch(QObject* parent = nullptr);
    ~PortWatch() override;

    // Starts listening to the system's serial devices and the folders
    // discovery reads (PortGet::watchedFolders). Starting again looks at
    // everything afresh.
    void start();
    void stop();
    // Watches a folder that was missing at start() or was removed since and
    // exists now (discovery makes the port directory when it looks).
    void rearm();

    // Whether something is being listened to.
    bool active() const;

    // What the platform's listener reports: one event of a possible burst.
    struct Platform;
    void note();

  signals:
    // One signal for a burst of events that come together.
    void changed();

  private:
    std::unique_ptr<Platform> platform_;
    QTimer settle_;
};

// One listener per platform. start() makes it (null where the system gives
// nothing to listen to); it reports through owner.note().
struct PortWatch::Platform {
    virtual ~Platform() = default;
    virtual void rearm() {}
    static std::unique_ptr<Platform> start(PortWatch& owner);
};

}  // namespace tavorin
