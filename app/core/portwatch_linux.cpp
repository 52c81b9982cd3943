// The port watch on Linux: udev's monitor for tty devices, and inotify on
// the port directory and on /dev. The second covers systems where no udev
// daemon runs (containers): the kernel still makes the nodes in /dev, but
// nobody passes its events on.
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>
#include <climits>
#include <cstring>
#include <vector>

#include "portget.h"
#include "portwatch.h"

namespace tavorin {

namespace {

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class LinuxWatch : public PortWatch::Platform {
  public:
    explicit LinuxWatch(PortWatch& owner) : owner_(owner) {}
    ~LinuxWatch() override {
        deviceNotifier_.reset();
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        folderNotifier_.reset();
        if (inotify_ >= 0) close(inotify_);
    }

    bool start() {
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ >= 0) {
            for (const PortGet::WatchedFolder& f : PortGet::watchedFolders()) {
                folders_.push_back({f.path, f.prefix, -1});
            }
            rearm();
            folderNotifier_ = std::make_unique<QSocketNotifier>(inotify_, QSocketNotifier::Read);
            QObject::connect(folderNotifier_.get(), &QSocketNotifier::activated,
                             folderNotifier_.get(), [this] { onFolderEvents(); });
        }

        // Without a netlink socket (a sandbox may refuse one) the folders
        // still tell of nodes and aliases.
        udev_ = udev_new();
        if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) >= 0 &&
            udev_monitor_enable_receiving(monitor_) >= 0) {
            deviceNotifier_ = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_),
                                                                QSocketNotifier::Read);
            QObject::connect(deviceNotifier_.get(), &QSocketNotifier::activated,
                             deviceNotifier_.get(), [this] { onDeviceEvents(); });
        }
        return folderNotifier_ || deviceNotifier_;
    }

    void rearm() override {
        if (inotify_ < 0) return;
        for (Folder& f : folders_) {
            if (f.watch >= 0) continue;
            f.watch =
                inotify_add_watch(inotify_, QFile::encodeName(f.path).constData(), kFolderEvents);
        }
    }

  private:
    struct Folder {
        QString path;
        QString prefix;  // only entries whose names start with it count
        int watch = -1;
    };

    void onFolderEvents() {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            const ssize_t n = read(inotify_, buffer, sizeof buffer);
            if (n <= 0) return;  // drained (EAGAIN), or the descriptor failed
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                for (Folder& f : folders_) {
                    if (f.watch != e->wd) continue;
                    if (e->mask & IN_IGNORED) {
                        // The folder itself went: what it held is gone from
                        // the list, and it is watched again once it is back.
                        f.watch = -1;
                        owner_.note();
                    } else if (e->mask & IN_MOVE_SELF) {
                        // Moved away, the folder is no longer the one that
                        // is read; the kernel then reports the watch as
                        // ignored.
                        inotify_rm_watch(inotify_, f.watch);
                        owner_.note();
                    } else if (e->mask & IN_DELETE_SELF) {
                        owner_.note();
                    } else if (e->len > 0 && QFile::decodeName(e->name).startsWith(f.prefix)) {
                        owner_.note();
                    }
                }
            }
        }
    }

    void onDeviceEvents() {
        bool any = false;
        while (udev_device* d = udev_monitor_receive_device(monitor_)) {
            const char* action = udev_device_get_action(d);
            if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
                any = true;
            udev_device_unref(d);
        }
        if (any) owner_.note();
    }

    PortWatch& owner_;
    int inotify_ = -1;
    std::vector<Folder> folders_;
    std::unique_ptr<QSocketNotifier> folderNotifier_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> deviceNotifier_;
};

}  // namespace

std::unique_ptr<PortWatch::Platform> PortWatch::Platform::start(PortWatch& owner) {
    auto watch = std::make_unique<LinuxWatch>(owner);
    if (!watch->start()) return nullptr;
    return watch;
}

}  // namespace tavorin
