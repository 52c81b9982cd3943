// The receive watcher: one thread per port that tells the client when bytes
// have arrived, once per arrival, until a reader or Ombrix_ComClear consumed
// the notice.
#include <chrono>

#include "port.h"

namespace ombrix {
namespace {

void WatchThread(Port& p, std::shared_ptr<Device> dev, Watcher& self) {
    p.watcherRun.store(1);
    {
        std::lock_guard lock(self.mutex);
        self.started = true;
    }
    self.changed.notify_all();

    raiseWatcherPriority();
    while (p.watcherRun.load()) {
        // The notice flag is read before the queue count. A reader takes
        // its bytes first and re-arms the notice after, so a count read once
        // the notice is seen re-armed no longer holds the bytes that reader
        // took. The other way round, a count read just before a reader
        // emptied the queue would post a notice for bytes already read.
        if (p.notified.load()) {
            // Until the notice is consumed, nothing the line does is news:
            // the watcher sleeps without a time limit, and the reader or the
            // clear that consumes the notice wakes it (ConsumeNotice), as a
            // stop or a close does. A closed port or a vanished device ends
            // it here as well.
            if (dev->waitWake(-1) == Wait::Gone) break;
            continue;
        }
        int queued = dev->queued();
        if (queued < 0) break;
        // Bytes that are already waiting when the watcher is (re)armed get a
        // notice too: a reader that took only the first of two replies that
        // came in one burst would otherwise never hear of the second, since
        // no new byte arrives to wake the wait below.
        if (queued == 0) {
            Wait w = dev->waitArrival(-1);
            if (w == Wait::Gone) break;
            if (w != Wait::Ready) continue;  // woken: look at the run flag again
            queued = dev->queued();
            if (queued < 0) break;
            if (queued == 0) continue;  // arrived and already read by the client
        }
        if (!p.watcherRun.load()) break;
        p.notified.store(1);
        postNotice(p.notifyTarget.load(), p.notifyMessage.load());
    }

    std::lock_guard lock(self.mutex);
    self.ended = true;
    self.changed.notify_all();
}

}  // namespace

void ConsumeNotice(Port& p) {
    // Only a watcher that gave the notice sleeps behind it; one that did
    // not is asleep on the line and needs no wake-up.
    if (p.notified.exchange(0) && p.device) p.device->wake();
}

void ReapWatcher(Port& p) {
    p.watcherRun.store(0);
    if (!p.watcher) return;
    if (p.device) p.device->wake();
    if (p.watcher->thread.joinable()) p.watcher->thread.join();
    p.watcher.reset();
}

}  // namespace ombrix

using namespace ombrix;

extern "C" {

OMBRIX_API int32_t Ombrix_RecvStart(int32_t handle, intptr_t window, uint32_t message) {
    if (!validHandle(handle) || window == 0 || message == 0) return OMBRIX_E_PARAM;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    if (p.watcher) return OMBRIX_E_NO_WATCHER;

    p.notifyTarget.store(window);
    p.notifyMessage.store(message);
    auto watcher = std::make_unique<Watcher>();
    Watcher& self = *watcher;
    try {
        // The thread holds its own reference to the device: after a close
        // the object stays alive (answering Gone) for as long as the thread
        // needs it, while its descriptors are already closed and never
        // touched again.
        self.thread = std::thread(WatchThread, std::ref(p), p.device, std::ref(self));
    } catch (const std::system_error&) {
        return OMBRIX_E_NO_WATCHER;
    }
    p.watcher = std::move(watcher);

    // The device's arrival edges are registered from the moment the port
    // opened, so the watcher is armed as soon as it runs; waiting for that
    // replaces a fixed pause.
    std::unique_lock lock(self.mutex);
    self.changed.wait(lock, [&] { return self.started; });
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_RecvStop(int32_t handle) {
    if (!validHandle(handle)) return OMBRIX_OK;
    Port& p = port(handle);
    p.watcherRun.store(0);
    if (!p.watcher) return OMBRIX_OK;
    Watcher& self = *p.watcher;
    if (p.device) p.device->wake();

    // Keep the caller's windows alive while the thread winds down; it ends
    // at its wake-up.
    for (;;) {
        {
            std::unique_lock lock(self.mutex);
            if (self.changed.wait_for(lock, std::chrono::milliseconds(kSliceMs),
                                      [&] { return self.ended; })) {
                break;
            }
        }
        pump();
        // The pump may have run a close and a reopen of this record, which
        // reaps the watcher itself.
        if (p.watcher.get() != &self) return OMBRIX_OK;
    }
    self.thread.join();
    p.watcher.reset();
    return OMBRIX_OK;
}

}  // extern "C"
