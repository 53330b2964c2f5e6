#include "records/access_level_table.h"

#include "core/xml_test_support.h"

namespace qav {
namespace {

TEST(AccessLevelTable, PasswordsMatchOnlyAsWholeTexts) {
    AccessLevelTable table;
    EXPECT_TRUE(table.CheckUserPassword(u"anyone", u"x") && table.CheckDevicePassword(5, u""))
        << "a fresh table admits everyone";
    table.m_unknownUserAdmitted = false;
    table.m_unknownDeviceAdmitted = false;
    const WString annDigest = u"1A1DC91C907325C69271DDF0C944BC72";  // MD5 of "pass"
    ASSERT_TRUE(table.AddUser({u"joe", u"secret", u""}) &&
                table.AddUser({u"ann", u"plain", annDigest}) &&
                table.AddUser({u"bob", u"", u"9dd4e461268c8034f5c8564e155c67a6"}) &&
                table.AddUser({u"eve", u"", u""}) && table.AddDevice({7, u"d7", u""}) &&
                table.AddDevice({8, u"", u"E77989ED21758E78331B20E477FC5582"}));
    // Entries that could never take effect are refused.
    EXPECT_FALSE(table.AddUser({u"joe", u"other", u""}) ||
                 table.AddUser({u"al", u"", annDigest.substr(1)}) ||
                 table.AddDevice({9, u"", u"g" + annDigest.substr(1)}));

    const WString withNul(u"secret\0", 7);
    struct Case {
        WStringView userName;
        WStringView password;
        bool admitted;
    };
    const Case cases[] = {
        {u"joe", u"secret", true},  {u"joe", u"secre", false},  {u"joe", u"secretx", false},
        {u"joe", u"", false},       {u"joe", u"Secret", false}, {u"joe", withNul, false},
        {u"Joe", u"secret", false}, {u"jo", u"secret", false},  {u"", u"", false},
        {u"ann", u"pass", true},    {u"ann", u"plain", false},  {u"ann", annDigest, false},
        {u"bob", u"x", true},       {u"eve", u"", true},        {u"eve", u" ", false},
        {u"al", u"", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(table.CheckUserPassword(c.userName, c.password), c.admitted)
            << test_support::Utf8Of(c.userName) << " / " << test_support::Utf8Of(c.password);
    }
    EXPECT_TRUE(table.CheckDevicePassword(7, u"d7") && table.CheckDevicePassword(8, u"dev"));
    EXPECT_FALSE(table.CheckDevicePassword(7, u"d") || table.CheckDevicePassword(8, u"") ||
                 table.CheckDevicePassword(9, u""));
}

TEST(AccessLevelTable, LevelsComeFromTheMostSpecificEntry) {
    AccessLevelTable table;
    EXPECT_EQ(table.GetUserDeviceLevel(u"joe", 1), kAccessAdministrative);
    table.m_defaultLevel = kAccessPassive;
    ASSERT_TRUE(table.AddUserDeviceLevel(u"joe", 1, kAccessAware) &&
                table.AddDeviceLevel(1, kAccessActive) &&
                table.AddUserLevel(u"ann", kAccessSearchable));
    EXPECT_FALSE(table.AddDeviceLevel(2, -1) || table.AddUserLevel(u"bob", 9) ||
                 table.AddUserLevel(u"ann", kAccessActive));
    EXPECT_EQ(table.GetUserDeviceLevel(u"joe", 1), kAccessAware);
    EXPECT_EQ(table.GetUserDeviceLevel(u"ann", 1), kAccessActive);
    EXPECT_EQ(table.GetUserDeviceLevel(u"ann", 2), kAccessSearchable);
    EXPECT_EQ(table.GetUserDeviceLevel(u"joe", 2), kAccessPassive);
}

TEST(AccessLevelTable, UserDeviceEntriesAreEditedByIndex) {
    AccessLevelTable table;
    ASSERT_TRUE(table.AddUserDeviceLevel(u"a", 1, kAccessActive) &&
                table.AddUserDeviceLevel(u"b", 2, kAccessActive) &&
                table.AddUserDeviceLevel(u"c", 3, kAccessActive));
    EXPECT_FALSE(table.AddUserDeviceLevel(u"a", 1, kAccessAware) ||
                 table.RemoveUserDeviceLevel(3) || table.RemoveUserDeviceLevel(-1) ||
                 table.SetUserDeviceLevel(3, u"d", 4, kAccessAware) ||
                 table.SetUserDeviceLevel(0, u"a", 1, 9) ||
                 table.SetUserDeviceLevel(0, u"b", 2, kAccessAware));  // b/2 is entry 1
    EXPECT_TRUE(table.SetUserDeviceLevel(0, u"a", 1, kAccessAdvanced));
    EXPECT_EQ(table.GetUserDeviceLevel(u"a", 1), kAccessAdvanced);
    EXPECT_TRUE(table.RemoveUserDeviceLevel(0));
    EXPECT_EQ(table.FindUserDeviceLevel(u"a", 1), -1);
    EXPECT_EQ(table.FindUserDeviceLevel(u"b", 2), 0);
    EXPECT_EQ(table.FindUserDeviceLevel(u"c", 3), 1);
}

}  // namespace
}  // namespace qav
