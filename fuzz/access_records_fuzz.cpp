// Feeds arbitrary bytes to the readers of the login and event records and checks what must
// hold for any input: reading never crashes, what a record writes reads back into a fresh
// record as the same fields, the login's form body decodes to its two texts, and an
// access table admits the login's own password and nothing shorter or longer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "core/md5.h"
#include "core/text_utils.h"
#include "fuzz/fuzz_support.h"
#include "records/access_level_table.h"
#include "records/capture_device_event.h"
#include "records/monitor_identification.h"

namespace {

using qav::fuzz::Check;

auto Fields(const qav::MonitorIdentification& r) {
    return std::tie(r.m_userName, r.m_password);
}

// The double as it travels ("%g"), since that is all a written record can give back.
auto Fields(const qav::CaptureDeviceEvent& r) {
    qav::WString doubleText;
    qav::DoubleToWString(r.m_doubleValue, doubleText);
    return std::make_tuple(r.m_type, r.m_deviceId, r.m_index, r.m_value, doubleText, r.m_name,
                           r.m_comment);
}

// A fresh record read from `element`, written out and read back into another fresh one.
template <typename Record>
Record CheckRoundTrip(qav::XmlElement element) {
    Record read;
    read.ReadXml(element);
    Record again;
    const bool written = qav::fuzz::ReadBackWritten(read, again);
    if constexpr (std::is_same_v<Record, qav::CaptureDeviceEvent>) {
        if (read.m_type == 0) {  // an event without a type is never written
            Check(!written);
            return read;
        }
    }
    Check(Fields(again) == Fields(read));
    return read;
}

std::string Utf8Of(const qav::WString& text) {
    std::string bytes;
    qav::WideToUtf8(text.data(), static_cast<int>(text.size()), bytes);
    return bytes;
}

void CheckFormBody(const qav::MonitorIdentification& login) {
    std::string body = "untouched";
    if (!login.BuildLoginFormBody(body)) {
        Check(login.m_userName.empty() && body == "untouched");
        return;
    }
    const std::string prefix = "username=";
    const std::string separator = "&password=";
    Check(body.starts_with(prefix));
    // The encoding escapes '&' and '=', so the separator can only be the one added.
    const size_t at = body.find(separator);
    std::string userName = body.substr(prefix.size(), at - prefix.size());
    std::string password = at == std::string::npos ? "" : body.substr(at + separator.size());
    qav::UrlDecode(userName);
    qav::UrlDecode(password);
    Check(userName == Utf8Of(login.m_userName));
    Check(password == Utf8Of(login.m_password));
}

void CheckAccess(const qav::MonitorIdentification& login) {
    qav::WString digest;
    qav::Md5HexDigestW(login.m_password, digest);
    for (const qav::WString& stored : {qav::WString(), digest}) {
        qav::AccessLevelTable table;
        table.m_unknownUserAdmitted = false;
        Check(table.AddUser({login.m_userName, login.m_password, stored}));
        Check(table.CheckUserPassword(login.m_userName, login.m_password));
        Check(!table.CheckUserPassword(login.m_userName, login.m_password + u"x"));
        Check(!table.CheckUserPassword(login.m_userName + u"x", login.m_password));
        if (!login.m_password.empty()) {
            const qav::WStringView shorter(login.m_password.data(), login.m_password.size() - 1);
            Check(!table.CheckUserPassword(login.m_userName, shorter));
        }
    }
}

void CheckElement(qav::XmlElement element) {
    const qav::MonitorIdentification login = CheckRoundTrip<qav::MonitorIdentification>(element);
    CheckFormBody(login);
    CheckAccess(login);
    CheckRoundTrip<qav::CaptureDeviceEvent>(element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
