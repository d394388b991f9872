// Advice for a serial node that may not be opened: the group to join only
// when joining it would help, else the node's owner, group and mode.
#include "platform/CommDevice.h"

#include <QTemporaryDir>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(PermissionAdvice, TheGroupOnlyWhenJoiningItHelps) {
    QTemporaryDir dir;
    const std::string node = dir.filePath("ttyS0").toStdString();
    QFile(QString::fromStdString(node)).open(QIODevice::WriteOnly);
    // A node of this process's own group: joining it cannot help.
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    const std::string owner = ::getpwuid(::geteuid())->pw_name;
    const std::string ownGroup = ::getgrgid(::getegid())->gr_name;
    EXPECT_EQ(platform::PermissionAdvice(node),
              "the node is owned by " + owner + ", group " + ownGroup + ", mode 0600");
    // A dialout node, the process not in dialout (only root may hand the
    // file to a group it is not in).
    const struct group* dialout = ::getgrnam("dialout");
    if (dialout && ::chown(node.c_str(), ::geteuid(), dialout->gr_gid) == 0 &&
        ::chmod(node.c_str(), 0660) == 0) {
        EXPECT_EQ(platform::PermissionAdvice(node),
                  "join the 'dialout' group (sudo usermod -aG dialout $USER, then log in again)");
        ASSERT_EQ(::chmod(node.c_str(), 0600), 0); // the group may not read it
        EXPECT_EQ(platform::PermissionAdvice(node),
                  "the node is owned by " + owner + ", group dialout, mode 0600");
    }
}
