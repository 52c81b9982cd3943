// Tells when the list of serial ports may have changed: a serial device
// came or went, or a COM<n> alias appeared in or vanished from the port
// directory. It sleeps on the system's notifications; nothing is polled.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <vector>

namespace tavorin {

class PortWatch : public QObject {
    Q_OBJECT
  public:
    explicit PortWatch(QObject* parent = nullptr);
    ~PortWatch() override;

    // Starts watching the folders discovery reads (PortGet::watchedFolders)
    // and the system's serial devices. Starting again looks at the folders
    // afresh.
    void start();
    void stop();
    // Watches a folder that was missing at start() or was removed since and
    // exists now (discovery makes the port directory when it looks).
    void rearm();

    bool active() const { return inotify_ >= 0; }

  signals:
    // One signal for a burst of events that come together.
    void changed();

  private:
    struct Folder {
        QString path;
        QString prefix;  // only entries whose names start with it count
        int watch = -1;
    };
    void onFolderEvents();
    void onDeviceEvents();
    void note();

    int inotify_ = -1;
    std::vector<Folder> folders_;
    std::unique_ptr<QSocketNotifier> folderNotifier_;
    struct Udev;
    std::unique_ptr<Udev> udev_;
    std::unique_ptr<QSocketNotifier> deviceNotifier_;
    QTimer settle_;
};

}  // namespace tavorin
