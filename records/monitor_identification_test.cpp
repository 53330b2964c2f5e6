#include "records/monitor_identification.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

TEST(MonitorIdentification, WritesBothChildrenAndReadsWhatIsThere) {
    MonitorIdentification login;
    EXPECT_EQ(test_support::WrittenXml(login),
              "<qav:MonitorIdentification " QAV_TEST_NS
              "><qav:UserName/><qav:Password/></qav:MonitorIdentification>");
    test_support::ReadXmlText(login,
                              "<qav:MonitorIdentification><qav:UserName>joe</qav:UserName>"
                              "<qav:Password>pw</qav:Password></qav:MonitorIdentification>");
    test_support::ReadXmlText(
        login, "<qav:MonitorIdentification><qav:Password/></qav:MonitorIdentification>");
    EXPECT_EQ(login.m_userName, u"joe") << "a missing child keeps its field";
    EXPECT_EQ(login.m_password, u"") << "an empty child clears it";
}

TEST(MonitorIdentification, LoginFormBodyEncodesBothTexts) {
    struct Case {
        const char16_t* userName;
        const char16_t* password;
        const char* body;  // null: no body
    };
    const Case cases[] = {{u"joe", u"", "username=joe"},
                          {u"a b", u"\u00fc&=+", "username=a%20b&password=%C3%BC%26%3D%2B"},
                          {u"x&password=y", u"-._/~", "username=x%26password%3Dy&password=-._/%7E"},
                          {u"", u"pw", nullptr}};
    for (const Case& c : cases) {
        MonitorIdentification login;
        login.m_userName = c.userName;
        login.m_password = c.password;
        std::string body = "untouched";
        EXPECT_EQ(login.BuildLoginFormBody(body), c.body != nullptr) << body;
        EXPECT_EQ(body, c.body != nullptr ? c.body : "untouched");
    }
}

}  // namespace
}  // namespace qav
