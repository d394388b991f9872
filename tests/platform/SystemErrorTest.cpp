// One errno mapping for every failing device and file call: the text is the
// system's, the classes agree with how a port open and a hang-up are judged.
#include "platform/SystemError.h"
#include "platform/CommDevice.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <gtest/gtest.h>

using platform::SystemErrorClass;

TEST(SystemError, TextAndClassOfEachCodeAgreeWithThePortOpen) {
    const platform::SystemError denied =
        std::async(std::launch::async, [] { return platform::SystemErrorOf(EACCES); }).get();
    EXPECT_EQ(denied.Code, EACCES);
    EXPECT_EQ(denied.Text, std::strerror(EACCES));
    EXPECT_EQ(denied.Class, SystemErrorClass::Denied);
    EXPECT_EQ(platform::SystemErrorOf(0).Text, "");
    EXPECT_FALSE(platform::SystemErrorOf(99999).Text.empty());
    EXPECT_EQ(platform::SystemErrorOf(EFBIG).Class, SystemErrorClass::Other);
    for (int gone : {EIO, ENXIO, ENODEV}) {
        EXPECT_EQ(platform::SystemErrorClassOf(gone), SystemErrorClass::Gone) << gone;
        EXPECT_EQ(platform::OpenErrorOf(gone), platform::CommOpenError::NotFound) << gone;
    }
    EXPECT_EQ(platform::OpenErrorOf(ENOENT), platform::CommOpenError::NotFound);
    EXPECT_EQ(platform::OpenErrorOf(EBUSY), platform::CommOpenError::CannotOpen);
    EXPECT_EQ(platform::OpenErrorOf(ENOTTY), platform::CommOpenError::CannotOpen);
}
