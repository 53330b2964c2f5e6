#include "core/paths.h"

#include <algorithm>

#include "core/system_calls.h"
#include "core/trace_frame.h"
#include "platform/thread.h"

namespace qav {

namespace {

bool IsSeparator(WChar c) {
    return c == u'\\' || c == u'/';
}

}  // namespace

bool CreateDirectoryPath(WStringView path) {
    QAV_TRACE("MU::CDP");
    if (CreateDirectoryIfMissing(path)) {
        return true;
    }
    if (path.empty() || path.size() >= kMaxDirectoryPathLength) {
        return false;
    }
    WString work(path);
    bool created = false;
    if (IsSeparator(work.back())) {
        while (!work.empty() && IsSeparator(work.back())) {
            work.pop_back();
        }
        if (CreateDirectoryIfMissing(work)) {
            return true;
        }
        platform::YieldProcessor();
    }
    // Back towards the root until a level can be made (or is there); a separator in
    // the first position stays, so "\x" is never cut to the empty path.
    std::vector<size_t> cuts;
    for (size_t i = work.size(); i-- > 1;) {
        if (!IsSeparator(work[i])) {
            continue;
        }
        cuts.push_back(i);
        created = CreateDirectoryIfMissing(WStringView(work).substr(0, i));
        if (created) {
            break;
        }
        platform::YieldProcessor();
    }
    // Then forward again, one level per cut, for as long as each level is made.
    while (created && !cuts.empty()) {
        cuts.pop_back();
        const size_t end = cuts.empty() ? work.size() : cuts.back();
        created = CreateDirectoryIfMissing(WStringView(work).substr(0, end));
        platform::YieldProcessor();
    }
    return created;
}

void AppendPathSeparator(WString& path) {
    if (!path.empty() && !IsSeparator(path.back())) {
        path.push_back(u'\\');
    }
}

void StripPathSeparator(WString& path) {
    if (!path.empty() && IsSeparator(path.back())) {
        path.pop_back();
    }
}

void SplitFileName(WString& path, WString& name) {
    const size_t last = path.find_last_of(u"\\/");
    if (last == WString::npos) {
        name = path;
        path.clear();
        return;
    }
    name = path.substr(last + 1);
    path.resize(last + 1);
}

bool IsValidRelativePath(WStringView path) {
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        const bool atEnd = i == path.size();
        if (!atEnd && path[i] == u'\0') {
            return false;
        }
        if (!atEnd && !IsSeparator(path[i])) {
            continue;
        }
        const WStringView component = path.substr(start, i - start);
        // Only the last component may be empty: the path ends in a separator or is empty.
        if ((component.empty() && !atEnd) || component == u"..") {
            return false;
        }
        start = i + 1;
    }
    return true;
}

bool IsPlainFileName(WStringView name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(WStringView(u"\\/\0", 3)) == WStringView::npos;
}

bool RenameFileInDirectory(WStringView directory, WStringView oldName, WStringView newName) {
    WString folder(directory);
    AppendPathSeparator(folder);
    return MoveFilePath(folder + WString(oldName), folder + WString(newName));
}

void SortWStrings(std::vector<WString>& strings) {
    std::sort(strings.begin(), strings.end());
}

}  // namespace qav
