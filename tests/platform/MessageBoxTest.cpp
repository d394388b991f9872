#include "platform/MessageBox.h"

#include <gtest/gtest.h>
#include <stdexcept>

TEST(MessageBox, ExceptionGoesToHookWithApplicationTitle) {
    platform::MessageRequest seen;
    platform::SetMessageHook([&](const platform::MessageRequest& r) {
        seen = r;
        return platform::MsgResult::Ok;
    });
    platform::HandleApplicationException(std::make_exception_ptr(std::runtime_error("boom")));
    platform::SetMessageHook({});
    EXPECT_EQ(seen.Caption, "Kelvox");
    EXPECT_EQ(seen.Text, "boom");
    EXPECT_EQ(seen.Icon, platform::MsgIcon::Error);
}
