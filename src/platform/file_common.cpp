#include <string>

#include "platform/file.h"
#include "platform/utf8.h"

namespace platform {

std::string FailureText(SysResult result) {
    std::wstring text = SystemErrorText(result.code);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.')) {
        text.pop_back();
    }
    std::string out = WideToUtf8(text);
    out.append(out.empty() ? "error " : " (error ").append(std::to_string(result.code));
    if (!text.empty()) {
        out.push_back(')');
    }
    return out;
}

}  // namespace platform
