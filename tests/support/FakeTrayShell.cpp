#include "support/FakeTrayShell.h"

#include <cstring>

namespace {
std::uint64_t keyOf(win::DWORD hWnd, win::DWORD uID) {
    return (std::uint64_t(hWnd) << 32) | uID;
}
std::string tipOf(const platform::NOTIFYICONDATAA& data) {
    return std::string(data.szTip, strnlen(data.szTip, sizeof data.szTip));
}
} // namespace

std::string FakeTrayShell::Call::tip() const {
    return tipOf(data);
}

FakeTrayShell::FakeTrayShell() {
    platform::SetTrayShellForTests(this);
}

FakeTrayShell::~FakeTrayShell() {
    platform::SetTrayShellForTests(nullptr);
}

bool FakeTrayShell::Shell_NotifyIcon(win::DWORD message, const platform::NOTIFYICONDATAA& data) {
    Call call;
    call.message = message;
    call.data = data;
    const std::uint64_t key = keyOf(data.hWnd, data.uID);
    auto it = shown_.find(key);
    auto apply = [&data](Shown& s) {
        if (data.uFlags & platform::NIF_MESSAGE)
            s.callbackMessage = data.uCallbackMessage;
        if (data.uFlags & platform::NIF_ICON)
            s.hIcon = data.hIcon;
        if (data.uFlags & platform::NIF_TIP)
            s.tip = tipOf(data);
    };
    if (!refuseAll) {
        switch (message) {
        case platform::NIM_ADD:
            if (it == shown_.end()) {
                Shown s;
                s.hWnd = data.hWnd;
                s.uID = data.uID;
                apply(s);
                shown_.emplace(key, s);
                call.accepted = true;
            }
            break;
        case platform::NIM_MODIFY:
            if (it != shown_.end()) {
                apply(it->second);
                call.accepted = true;
            }
            break;
        case platform::NIM_DELETE:
            if (it != shown_.end()) {
                shown_.erase(it);
                call.accepted = true;
            }
            break;
        default:
            break;
        }
    }
    calls_.push_back(call);
    return call.accepted;
}

std::vector<FakeTrayShell::Call> FakeTrayShell::CallsFor(win::DWORD uID) const {
    std::vector<Call> result;
    for (const Call& c : calls_)
        if (c.data.uID == uID)
            result.push_back(c);
    return result;
}

const FakeTrayShell::Shown* FakeTrayShell::Find(win::DWORD uID) const {
    for (const auto& [key, s] : shown_)
        if (s.uID == uID)
            return &s;
    return nullptr;
}

bool FakeTrayShell::Press(win::DWORD uID, std::uint32_t mouseMessage) {
    const Shown* s = Find(uID);
    if (!s)
        return false;
    // Copies: the receiver may delete the icon while handling the message.
    const win::DWORD hWnd = s->hWnd;
    const std::uint32_t callback = s->callbackMessage;
    platform::SendWindowMessage(hWnd, callback, uID, std::intptr_t(mouseMessage));
    return true;
}
