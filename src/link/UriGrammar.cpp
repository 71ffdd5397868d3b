#include "link/UriGrammar.hpp"

namespace quenfold::orvalis {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isWordOrSeparator(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '=' ||
           c == '&';
}

// A cursor over the URI; each take* consumes a piece or leaves the cursor alone.
class Cursor {
  public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ == text_.size(); }

    bool takeLiteral(std::string_view literal) {
        if (text_.substr(pos_, literal.size()) != literal) {
            return false;
        }
        pos_ += literal.size();
        return true;
    }

    std::string_view takeWhile(bool (*accept)(char)) {
        std::size_t start = pos_;
        while (pos_ < text_.size() && accept(text_[pos_])) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    std::string_view takeDigits() { return takeWhile(isDigit); }

    std::string_view takeDigitsOrStar() {
        if (takeLiteral("*")) {
            return text_.substr(pos_ - 1, 1);
        }
        return takeDigits();
    }

    std::string_view takeDatarate() {
        for (std::string_view token : {"250K", "1M", "2M"}) {
            if (takeLiteral(token)) {
                return token;
            }
        }
        return {};
    }

    std::string_view takeAddress() {
        if (takeLiteral("*")) {
            return text_.substr(pos_ - 1, 1);
        }
        std::size_t start = pos_;
        std::string_view digits = takeWhile(isHexDigit);
        if (digits.size() != 10) {
            pos_ = start;
            return {};
        }
        return digits;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

std::optional<UriMatch> matchRadio(Cursor& cursor) {
    UriMatch match;
    match.dongle = cursor.takeDigitsOrStar();
    if (match.dongle.empty() || !cursor.takeLiteral("/")) {
        return std::nullopt;
    }
    match.channel = cursor.takeDigits();
    if (match.channel.empty() || !cursor.takeLiteral("/")) {
        return std::nullopt;
    }
    match.datarate = cursor.takeDatarate();
    if (match.datarate.empty() || !cursor.takeLiteral("/")) {
        return std::nullopt;
    }
    match.address = cursor.takeAddress();
    if (match.address.empty()) {
        return std::nullopt;
    }
    if (cursor.takeLiteral("?")) {
        std::string_view options = cursor.takeWhile(isWordOrSeparator);
        if (options.empty()) {
            return std::nullopt;
        }
        match.options = options;
    }
    if (!cursor.atEnd()) {
        return std::nullopt;
    }
    return match;
}

}  // namespace

std::optional<UriMatch> matchUri(std::string_view uri) noexcept {
    Cursor cursor(uri);
    if (cursor.takeLiteral("usb://")) {
        UriMatch match;
        match.isUSB = true;
        match.usbIndex = cursor.takeDigits();
        if (match.usbIndex.empty() || !cursor.atEnd()) {
            return std::nullopt;
        }
        return match;
    }
    if (cursor.takeLiteral("radio://")) {
        return matchRadio(cursor);
    }
    return std::nullopt;
}

}  // namespace quenfold::orvalis
