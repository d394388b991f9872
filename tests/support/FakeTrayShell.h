// A recording notification area for tests. It installs itself as the shell in
// use for its lifetime, keeps every request, keeps the icons it has accepted
// (refusing a second add, and modify or delete of an absent icon, as the real
// one does) and reports clicks the way the shell does: the icon's callback
// message sent to the window that added it.
#pragma once

#include "gui/TrayShell.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class FakeTrayShell : public platform::TrayShell {
public:
    struct Call {
        win::DWORD message = 0;
        platform::NOTIFYICONDATAA data;
        bool accepted = false;
        std::string tip() const; // szTip up to its terminator
    };
    // The state of an accepted icon, fields merged by their flags.
    struct Shown {
        win::DWORD hWnd = 0;
        win::DWORD uID = 0;
        std::uint32_t callbackMessage = 0;
        win::DWORD hIcon = 0;
        std::string tip;
    };

    FakeTrayShell();
    ~FakeTrayShell() override;
    FakeTrayShell(const FakeTrayShell&) = delete;
    FakeTrayShell& operator=(const FakeTrayShell&) = delete;

    bool Shell_NotifyIcon(win::DWORD message, const platform::NOTIFYICONDATAA& data) override;

    const std::vector<Call>& Calls() const { return calls_; }
    std::vector<Call> CallsFor(win::DWORD uID) const;
    void ClearCalls() { calls_.clear(); }

    // The shown icon with this identifier (any window), or nullptr.
    const Shown* Find(win::DWORD uID) const;
    std::size_t ShownCount() const { return shown_.size(); }

    // Reports a mouse message on the icon uID. False when no such icon is
    // shown (nothing is sent then).
    bool Press(win::DWORD uID, std::uint32_t mouseMessage);

    // When set, every request is refused (a desktop without a tray host).
    bool refuseAll = false;

private:
    std::vector<Call> calls_;
    std::map<std::uint64_t, Shown> shown_;
};
