#include "platform/path_text.h"

namespace platform {

std::filesystem::path NormalPath(const std::filesystem::path& path) {
    std::wstring text = PathToWide(path.lexically_normal());
    while (text.size() > 1 && (text.back() == L'/' || text.back() == L'\\') &&
           !(text.size() == 3 && text[1] == L':')) {
        text.pop_back();
    }
    return WideToPath(text);
}

}  // namespace platform
