#include "node/log_lines.h"

#include "core/log_message.h"
#include "core/text_utils.h"
#include "core/xml_element.h"

namespace qav {

namespace {

void AppendWide(std::string& line, const WString& text) {
    std::string narrow;
    if (!WideToUtf8Strict(text, narrow)) {
        WideToUtf8(text.data(), static_cast<int>(text.size()), narrow);
    }
    // A record's text may hold a line break; the printed record must stay one line.
    for (char& c : narrow) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += narrow;
}

const char* SeverityName(int32_t severity) {
    switch (severity) {
    case 1:
        return "Status";
    case 2:
        return "Warning";
    case 3:
        return "Error";
    default:
        return "Undefined";
    }
}

// Whether `text` begins with the word `name`.
bool StartsWithWord(const WString& text, const char* name) {
    size_t at = 0;
    for (; name[at] != '\0'; ++at) {
        if (at >= text.size() || text[at] != static_cast<WChar>(name[at])) {
            return false;
        }
    }
    return at == text.size() || text[at] == u' ';
}

}  // namespace

std::string FormatLogLine(int32_t severity, const LogMessage& message) {
    const XmlElement root = message.GetRoot();
    WString text;
    root.GetAttribute(u"qav:Text", text);
    std::string line;
    if (severity != kNodeLineSeverity) {
        const char* name = SeverityName(severity);
        if (!StartsWithWord(text, name)) {
            line = name;
            line += ' ';
        }
    }
    AppendWide(line, text);
    for (XmlElement child = root.FirstChild(); child.IsValid(); child = child.NextSibling()) {
        WString name;
        WString value;
        if (!child.GetName(name) || name != u"qav:Parameter") {
            continue;
        }
        child.GetAttribute(u"qav:Name", name);
        child.GetAttribute(u"qav:Value", value);
        line += ' ';
        AppendWide(line, name);
        line += '=';
        const bool quoted = value.empty() || value.find(u' ') != WString::npos;
        if (quoted) {
            line += '"';
        }
        AppendWide(line, value);
        if (quoted) {
            line += '"';
        }
    }
    return line;
}

}  // namespace qav
