#include "common/demangle.h"

#include <cstring>

namespace {

struct Operator {
    const char* code;
    const char* name;
};

constexpr Operator kOperators[] = {
    {"cl", "operator()"}, {"ix", "operator[]"},   {"aS", "operator="},       {"eq", "operator=="},
    {"ne", "operator!="}, {"lt", "operator<"},    {"gt", "operator>"},       {"ls", "operator<<"},
    {"rs", "operator>>"}, {"pl", "operator+"},    {"mi", "operator-"},       {"ml", "operator*"},
    {"dv", "operator/"},  {"nw", "operator new"}, {"dl", "operator delete"},
};

// The output buffer; false from any step means the name is not one this demangler reads.
class Reader {
public:
    Reader(const char* in, char* out, std::size_t size) : in_(in), out_(out), size_(size) {}

    bool Name() {
        if (Take('N')) {
            return Nested();
        }
        if (in_[0] == 'S' && in_[1] == 't') {
            in_ += 2;
            Append("std::", 5);
        }
        return Component(true);
    }

    [[nodiscard]] std::size_t Length() const { return pos_; }

private:
    bool Take(char c) {
        if (*in_ != c) {
            return false;
        }
        ++in_;
        return true;
    }

    void Append(const char* text, std::size_t n) {
        for (std::size_t i = 0; i < n && pos_ + 1 < size_; ++i) {
            out_[pos_++] = text[i];
        }
    }

    bool Nested() {
        // Qualifiers of a member function: restrict, volatile, const, & and &&.
        while (*in_ == 'r' || *in_ == 'V' || *in_ == 'K' || *in_ == 'R' || *in_ == 'O') {
            ++in_;
        }
        bool first = true;
        if (in_[0] == 'S' && in_[1] == 't') {
            in_ += 2;
            Append("std", 3);
            first = false;
        }
        while (!Take('E')) {
            if (*in_ == '\0') {
                return false;
            }
            if (!first) {
                Append("::", 2);
            }
            if (!Component(first)) {
                return false;
            }
            first = false;
        }
        return !first;
    }

    // One component: a source name, a constructor or destructor of the last class, an operator; with
    // any ABI tags after it.
    bool Component(bool first) {
        if (*in_ >= '0' && *in_ <= '9') {
            if (!SourceName()) {
                return false;
            }
        } else if (!first && in_[0] == 'C' && (in_[1] == '1' || in_[1] == '2' || in_[1] == '3')) {
            in_ += 2;
            Append(last_, lastLength_);
        } else if (!first && in_[0] == 'D' && (in_[1] == '0' || in_[1] == '1' || in_[1] == '2')) {
            in_ += 2;
            Append("~", 1);
            Append(last_, lastLength_);
        } else if (!OperatorName()) {
            return false;
        }
        while (Take('B')) {  // an ABI tag names a variant of the same entity: left out
            if (!SourceName(false)) {
                return false;
            }
        }
        return true;
    }

    bool SourceName(bool emit = true) {
        std::size_t n = 0;
        while (*in_ >= '0' && *in_ <= '9') {
            n = n * 10 + static_cast<std::size_t>(*in_++ - '0');
            if (n > 4096) {
                return false;
            }
        }
        if (n == 0 || std::strlen(in_) < n) {
            return false;
        }
        if (!emit) {
            in_ += n;
            return true;
        }
        constexpr char kAnonymous[] = "_GLOBAL__N";
        if (n >= sizeof(kAnonymous) - 1 && std::strncmp(in_, kAnonymous, sizeof(kAnonymous) - 1) == 0) {
            Append("(anonymous namespace)", 21);
        } else {
            Append(in_, n);
        }
        last_ = in_;
        lastLength_ = n;
        in_ += n;
        return true;
    }

    bool OperatorName() {
        for (const Operator& op : kOperators) {
            if (in_[0] == op.code[0] && in_[1] == op.code[1]) {
                in_ += 2;
                Append(op.name, std::strlen(op.name));
                return true;
            }
        }
        return false;
    }

    const char* in_;
    char* out_;
    std::size_t size_;
    std::size_t pos_ = 0;
    const char* last_ = "";
    std::size_t lastLength_ = 0;
};

std::size_t CopyAsIs(const char* text, char* out, std::size_t size) {
    std::size_t n = 0;
    while (text[n] != '\0' && n + 1 < size) {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
    return n;
}

}  // namespace

std::size_t DemangleSymbol(const char* mangled, char* out, std::size_t size) noexcept {
    if (out == nullptr || size == 0) {
        return 0;
    }
    if (mangled == nullptr) {
        out[0] = '\0';
        return 0;
    }
    if (mangled[0] != '_' || mangled[1] != 'Z') {
        return CopyAsIs(mangled, out, size);
    }
    const char* in = mangled + 2;
    if (*in == 'L') {  // internal linkage
        ++in;
    }
    Reader reader(in, out, size);
    if (!reader.Name()) {
        return CopyAsIs(mangled, out, size);
    }
    out[reader.Length()] = '\0';
    return reader.Length();
}
