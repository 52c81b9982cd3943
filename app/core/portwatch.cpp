#include "portwatch.h"

namespace tavorin {

namespace {
// Events that come within this time of each other are one change: a device
// makes a node and its links one after the other, and a plugged adapter is
// announced as a device and as an interface.
constexpr int kSettleMs = 40;
}  // namespace

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
    platform_ = Platform::start(*this);
}

void PortWatch::stop() {
    settle_.stop();
    platform_.reset();
}

void PortWatch::rearm() {
    if (platform_) platform_->rearm();
}

bool PortWatch::active() const {
    return platform_ != nullptr;
}

void PortWatch::note() {
    if (!settle_.isActive()) settle_.start();
}

}  // namespace tavorin
