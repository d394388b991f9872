// Records the message boxes the code under test asks for instead of showing
// them, for as long as the recorder lives. Main thread only; one at a time.
#pragma once

#include "platform/MessageBox.h"

#include <vector>

class MessageRecorder {
public:
    MessageRecorder() {
        platform::SetMessageHook([this](const platform::MessageRequest& r) {
            Seen.push_back(r);
            return platform::MsgResult::Ok;
        });
    }
    ~MessageRecorder() { platform::SetMessageHook({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<platform::MessageRequest> Seen;
};
