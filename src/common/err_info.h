// Error information: the result of most operations of the library.
//
// An ErrInfo is either ok or carries one error (kind, code, wide text) together with the place that
// made it. Copies share the error record. The duty to report moves with every copy to the newest one:
// when the object holding that duty is destroyed with its error unhandled, the full text of the error
// is written to the process debug log.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

// The shared record of one error.
struct ErrData {
    std::uint32_t code = 0;
    std::uint32_t type = 0;
    std::wstring text;
};

// Kinds of error (ErrData::type).
enum ErrType : std::uint32_t {
    kErrTypeNone = 0,
    kErrTypeSystem = 1,  // code is a native system error number; printed with the system's text
    kErrTypeCoded = 2,   // coded error of another origin
    kErrTypeText = 3,    // text only
    kErrTypeCoded6 = 6,  // coded error of another origin
};

class ErrInfo {
public:
    // `method` and `file` must be texts with static storage: they are not copied.
    ErrInfo(const char* method, const char* file, std::int32_t line) noexcept;

    // Shares the source's error and takes over its duty to report; the source is marked handled.
    ErrInfo(const ErrInfo& other) noexcept;
    ErrInfo& operator=(const ErrInfo& other) noexcept;

    virtual ~ErrInfo();

    // Setters: each sets the kind (and code) and the text, and returns the object so that calls chain.
    ErrInfo& SetError(const wchar_t* text);
    ErrInfo& SetError(const std::wstring& text);
    ErrInfo& SetError(const char* text);  // UTF-8
    ErrInfo& SetError(const std::string& text);

    ErrInfo& SetSysError(std::uint32_t code, const wchar_t* text);
    ErrInfo& SetSysError(std::uint32_t code, const std::wstring& text);
    ErrInfo& SetSysError(std::uint32_t code, const char* text);
    ErrInfo& SetSysError(std::uint32_t code, const std::string& text);

    // SetSysError with the calling thread's last system error.
    ErrInfo& SetLastSysError(const wchar_t* text);
    ErrInfo& SetLastSysError(const std::wstring& text);
    ErrInfo& SetLastSysError(const char* text);
    ErrInfo& SetLastSysError(const std::string& text);

    // Appends text, joined to existing text with the process log's line break.
    ErrInfo& AddInfo(const wchar_t* text);
    ErrInfo& AddInfo(const std::wstring& text);
    ErrInfo& AddInfo(const char* text);
    ErrInfo& AddInfo(const std::string& text);

    // The error has been logged or passed on: destroying the object writes nothing.
    ErrInfo& MarkHandled() noexcept {
        handled_ = true;
        return *this;
    }

    [[nodiscard]] bool IsOk() const noexcept { return data_ == nullptr; }
    [[nodiscard]] bool IsHandled() const noexcept { return handled_; }
    [[nodiscard]] std::uint32_t GetCode() const noexcept { return data_ ? data_->code : 0; }
    [[nodiscard]] std::uint32_t GetType() const noexcept { return data_ ? data_->type : 0; }
    [[nodiscard]] const std::wstring& GetText() const noexcept;

    // Full text with the location part (" Method=... File=... Line=..."); empty when ok.
    std::wstring& ToString(std::wstring& out) const;
    [[nodiscard]] std::wstring ToString() const;
    // The same without the location part.
    std::wstring& ToShortString(std::wstring& out) const;
    [[nodiscard]] std::wstring ToShortString() const;

    [[nodiscard]] const char* Method() const noexcept { return method_; }
    [[nodiscard]] const char* File() const noexcept { return file_; }
    [[nodiscard]] std::int32_t Line() const noexcept { return line_; }

private:
    ErrData& Data();
    void Format(std::wstring& out, bool withLocation) const;
    void ReportIfUnhandled() noexcept;

    std::shared_ptr<ErrData> data_;
    const char* method_;
    const char* file_;
    std::int32_t line_;
    // Mutable: copying from an object hands its duty to report to the copy.
    mutable bool handled_ = false;
};

// The place of the call for the ErrInfo constructor: ErrInfo err(ERR_PLACE("Network::UdpSock::Open"));
#define ERR_PLACE(method) (method), __FILE__, __LINE__

// The exception that carries an error where it has to travel by throwing. The message is UTF-8.
class ErrException : public std::exception {
public:
    explicit ErrException(const std::string& message);
    explicit ErrException(const std::wstring& message);
    explicit ErrException(const ErrInfo& error);  // the error's full text
    ErrException(const ErrException& other);
    ErrException& operator=(const ErrException& other);
    ~ErrException() override;

    [[nodiscard]] const char* what() const noexcept override;

private:
    std::string message_;
};
