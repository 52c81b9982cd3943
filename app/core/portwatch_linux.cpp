// The port watch on Linux: udev's monitor for tty devices, and inotify on
// the port directory and on /dev. The second covers systems where no udev
// daemon runs (containers): the kernel still makes the nodes in /dev, but
// nobody passes its events on.
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QFile>
#include <climits>
#include <cstring>

#include "portget.h"
#include "portwatch.h"

namespace tavorin {

namespace {
// Events that come within this time of each other are one change: a device
// makes a node and its links one after the other.
constexpr int kSettleMs = 40;
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}  // namespace

struct PortWatch::Udev {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~Udev() {
        if (monitor) udev_monitor_unref(monitor);
        if (context) udev_unref(context);
    }
};

PortWatch::PortWatch(QObject* parent) : QObject(parent) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &PortWatch::changed);
}

PortWatch::~PortWatch() {
    stop();
}

void PortWatch::start() {
    stop();
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) {
        for (const PortGet::WatchedFolder& f : PortGet::watchedFolders()) {
            folders_.push_back({f.path, f.prefix, -1});
        }
        rearm();
        folderNotifier_ = std::make_unique<QSocketNotifier>(inotify_, QSocketNotifier::Read);
        connect(folderNotifier_.get(), &QSocketNotifier::activated, this,
                &PortWatch::onFolderEvents);
    }

    // Without a netlink socket (a sandbox may refuse one) the folders still
    // tell of nodes and aliases.
    udev_ = std::make_unique<Udev>();
    udev_->context = udev_new();
    if (udev_->context) udev_->monitor = udev_monitor_new_from_netlink(udev_->context, "udev");
    if (udev_->monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(udev_->monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(udev_->monitor) >= 0) {
        deviceNotifier_ = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(udev_->monitor),
                                                            QSocketNotifier::Read);
        connect(deviceNotifier_.get(), &QSocketNotifier::activated, this,
                &PortWatch::onDeviceEvents);
    } else {
        udev_.reset();
    }
}

void PortWatch::stop() {
    settle_.stop();
    deviceNotifier_.reset();
    udev_.reset();
    folderNotifier_.reset();
    folders_.clear();
    if (inotify_ >= 0) close(inotify_);
    inotify_ = -1;
}

void PortWatch::rearm() {
    if (inotify_ < 0) return;
    for (Folder& f : folders_) {
        if (f.watch >= 0) continue;
        f.watch = inotify_add_watch(inotify_, QFile::encodeName(f.path).constData(), kFolderEvents);
    }
}

void PortWatch::note() {
    if (!settle_.isActive()) settle_.start();
}

void PortWatch::onFolderEvents() {
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
                    note();
                } else if (e->mask & IN_MOVE_SELF) {
                    // Moved away, the folder is no longer the one that is
                    // read; the kernel then reports the watch as ignored.
                    inotify_rm_watch(inotify_, f.watch);
                    note();
                } else if (e->mask & IN_DELETE_SELF) {
                    note();
                } else if (e->len > 0 && QFile::decodeName(e->name).startsWith(f.prefix)) {
                    note();
                }
            }
        }
    }
}

void PortWatch::onDeviceEvents() {
    bool any = false;
    while (udev_device* d = udev_monitor_receive_device(udev_->monitor)) {
        const char* action = udev_device_get_action(d);
        if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
            any = true;
        udev_device_unref(d);
    }
    if (any) note();
}

}  // namespace tavorin
