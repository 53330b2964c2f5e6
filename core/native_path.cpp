#include "core/native_path.h"

#include "core/text_utils.h"

namespace qav {

bool ToNativePath(WStringView path, std::string& out) {
    if (path.find(u'\0') != WStringView::npos || !WideToUtf8Strict(path, out)) {
        out.clear();
        return false;
    }
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return true;
}

}  // namespace qav
