#include "common/err_info.h"

#include "common/environment.h"
#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace {

const std::wstring kEmpty;

// Narrow texts of the location are widened byte by byte.
void AppendNarrow(std::wstring& out, const char* text) {
    if (text == nullptr) {
        return;
    }
    for (; *text != '\0'; ++text) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
}

void AppendHex(std::wstring& out, std::uint32_t v) {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    wchar_t digits[8];
    int n = 0;
    do {
        digits[n++] = kHex[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n > 0) {
        out.push_back(digits[--n]);
    }
}

// The system's text for a code on one line: every control character becomes a blank.
std::wstring OneLineSystemText(std::uint32_t code) {
    std::wstring text = platform::SystemErrorText(code);
    if (text.size() > 511) {
        text.resize(511);
    }
    for (wchar_t& c : text) {
        if (static_cast<std::uint32_t>(c) < 32) {
            c = L' ';
        }
    }
    return text;
}

std::wstring LogLineBreak() {
    std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    return log ? log->LineBreak : std::wstring(L"\r\n");
}

}  // namespace

ErrInfo::ErrInfo(const char* method, const char* file, std::int32_t line) noexcept
    : method_(method), file_(file), line_(line) {}

ErrInfo::ErrInfo(const ErrInfo& other) noexcept
    : data_(other.data_),
      method_(other.method_),
      file_(other.file_),
      line_(other.line_),
      handled_(other.handled_) {
    other.handled_ = true;
}

ErrInfo& ErrInfo::operator=(const ErrInfo& other) noexcept {
    if (this == &other) {
        return *this;
    }
    // The error this object held would otherwise vanish unreported.
    if (data_ != other.data_) {
        ReportIfUnhandled();
    }
    data_ = other.data_;
    method_ = other.method_;
    file_ = other.file_;
    line_ = other.line_;
    handled_ = other.handled_;
    other.handled_ = true;
    return *this;
}

ErrInfo::~ErrInfo() {
    ReportIfUnhandled();
}

void ErrInfo::ReportIfUnhandled() noexcept {
    if (handled_ || data_ == nullptr) {
        return;
    }
    try {
        std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
        if (log) {
            std::wstring text;
            log->Write(ToString(text));
        }
    } catch (...) {
        // Reporting must never throw out of a destructor; the error is lost only if memory ran out.
    }
}

ErrData& ErrInfo::Data() {
    if (!data_) {
        data_ = std::make_shared<ErrData>();
    }
    return *data_;
}

ErrInfo& ErrInfo::SetError(const wchar_t* text) {
    return SetError(std::wstring(text ? text : L""));
}
ErrInfo& ErrInfo::SetError(const std::wstring& text) {
    ErrData& d = Data();
    d.type = kErrTypeText;
    d.text = text;
    return *this;
}
ErrInfo& ErrInfo::SetError(const char* text) {
    return SetError(Utf8ToWide(text ? text : ""));
}
ErrInfo& ErrInfo::SetError(const std::string& text) {
    return SetError(Utf8ToWide(text));
}

ErrInfo& ErrInfo::SetSysError(std::uint32_t code, const wchar_t* text) {
    return SetSysError(code, std::wstring(text ? text : L""));
}
ErrInfo& ErrInfo::SetSysError(std::uint32_t code, const std::wstring& text) {
    ErrData& d = Data();
    d.type = kErrTypeSystem;
    d.code = code;
    d.text = text;
    return *this;
}
ErrInfo& ErrInfo::SetSysError(std::uint32_t code, const char* text) {
    return SetSysError(code, Utf8ToWide(text ? text : ""));
}
ErrInfo& ErrInfo::SetSysError(std::uint32_t code, const std::string& text) {
    return SetSysError(code, Utf8ToWide(text));
}

// The last error is read before anything else can change it.
ErrInfo& ErrInfo::SetLastSysError(const wchar_t* text) {
    const std::uint32_t code = platform::LastSystemError();
    return SetSysError(code, text);
}
ErrInfo& ErrInfo::SetLastSysError(const std::wstring& text) {
    const std::uint32_t code = platform::LastSystemError();
    return SetSysError(code, text);
}
ErrInfo& ErrInfo::SetLastSysError(const char* text) {
    const std::uint32_t code = platform::LastSystemError();
    return SetSysError(code, text);
}
ErrInfo& ErrInfo::SetLastSysError(const std::string& text) {
    const std::uint32_t code = platform::LastSystemError();
    return SetSysError(code, text);
}

ErrInfo& ErrInfo::AddInfo(const wchar_t* text) {
    return AddInfo(std::wstring(text ? text : L""));
}
ErrInfo& ErrInfo::AddInfo(const std::wstring& text) {
    ErrData& d = Data();
    if (d.type == kErrTypeNone) {
        d.type = kErrTypeText;
    }
    if (d.text.empty()) {
        d.text = text;
    } else {
        d.text += LogLineBreak();
        d.text += text;
    }
    return *this;
}
ErrInfo& ErrInfo::AddInfo(const char* text) {
    return AddInfo(Utf8ToWide(text ? text : ""));
}
ErrInfo& ErrInfo::AddInfo(const std::string& text) {
    return AddInfo(Utf8ToWide(text));
}

const std::wstring& ErrInfo::GetText() const noexcept {
    return data_ ? data_->text : kEmpty;
}

void ErrInfo::Format(std::wstring& out, bool withLocation) const {
    out.clear();
    if (!data_) {
        return;
    }
    const ErrData& d = *data_;
    if (d.type != kErrTypeText) {
        out += L" ErrType=";
        out += std::to_wstring(d.type);
        out += L" ErrCode=";
        out += std::to_wstring(d.code);
        out += L'/';
        AppendHex(out, d.code);
        out += L'h';
    }
    if (d.type == kErrTypeSystem) {
        out += L" (";
        out += OneLineSystemText(d.code);
        out += L')';
    }
    if (!d.text.empty()) {
        out += L" ErrStr=";
        out += d.text;
    }
    if (withLocation) {
        out += L" Method=";
        AppendNarrow(out, method_);
        out += L" File=";
        AppendNarrow(out, file_);
        out += L" Line=";
        out += std::to_wstring(line_);
    }
}

std::wstring& ErrInfo::ToString(std::wstring& out) const {
    Format(out, true);
    return out;
}

std::wstring ErrInfo::ToString() const {
    std::wstring out;
    Format(out, true);
    return out;
}

std::wstring& ErrInfo::ToShortString(std::wstring& out) const {
    Format(out, false);
    return out;
}

std::wstring ErrInfo::ToShortString() const {
    std::wstring out;
    Format(out, false);
    return out;
}

ErrException::ErrException(const std::string& message) : message_(message) {}
ErrException::ErrException(const std::wstring& message) : message_(WideToUtf8(message)) {}
ErrException::ErrException(const ErrInfo& error) : message_(WideToUtf8(error.ToString())) {}
ErrException::ErrException(const ErrException& other) = default;
ErrException& ErrException::operator=(const ErrException& other) = default;
ErrException::~ErrException() = default;
const char* ErrException::what() const noexcept {
    return message_.c_str();
}
