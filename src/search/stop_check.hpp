// A hook that a long search calls every few thousand positions, so that its caller can end it
// (for example on Ctrl-C) by throwing from the hook. The searches hold nothing that needs more
// than ordinary unwinding.
#pragma once

#include <cstdint>

namespace veltrix::search {

struct StopCheck {
    void (*poll)(void* context) = nullptr;  // may throw to abandon the search
    void* context = nullptr;

    void operator()() const {
        if (poll != nullptr) poll(context);
    }
};

// A node counter for the reference walk that also calls the hook every `kInterval` positions.
struct PollingCount {
    static constexpr std::uint32_t kInterval = 1024;

    explicit PollingCount(const StopCheck& stop) : stop_(stop) {}
    void node() {
        if (--until_poll_ == 0) {
            until_poll_ = kInterval;
            stop_();
        }
    }

private:
    const StopCheck& stop_;
    std::uint32_t until_poll_ = kInterval;
};

}  // namespace veltrix::search
