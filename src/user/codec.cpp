#include "user/codec.h"

#include <array>

#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr int kKeyBuf = 100;
constexpr const char* kDefaultKey = "quietlanternfoldsunderbluepin";

std::array<unsigned char, kKeyBuf> key_schedule(std::string_view key, long seed) {
    std::array<unsigned char, kKeyBuf> k{};
    std::string_view use = key.empty() ? std::string_view(kDefaultKey) : key;
    for (std::size_t i = 0; i < use.size() && i < kKeyBuf - 1; ++i) k[i] = static_cast<unsigned char>(use[i]);
    unsigned long s = static_cast<unsigned long>(seed);
    for (int i = 0; i < 20; ++i) {
        k[i] = static_cast<unsigned char>((k[i] + s % 256) % 256);
        s += k[i];
    }
    return k;
}

int key_at(const std::array<unsigned char, kKeyBuf>& k, std::size_t i) { return i < kKeyBuf ? k[i] : 0; }

}  // namespace

std::string bintostr(std::string_view bytes) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string strtobin(std::string_view hex) {
    std::string out;
    // A damaged text gives the bytes before the damage, never a guess.
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        int v = hexpair(hex[i], hex[i + 1]);
        if (v < 0) break;
        out += static_cast<char>(v);
    }
    return out;
}

std::string x_hide(std::string_view key, std::string_view text, long seed) {
    auto k = key_schedule(key, seed);
    std::string bin;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int c = static_cast<signed char>(text[i]);
        bin += static_cast<char>((c + key_at(k, i) + 127000) % 127);
    }
    bin += '\0';
    return bintostr(bin);
}

std::string x_unhide(std::string_view key, std::string_view hex, long seed) {
    auto k = key_schedule(key, seed);
    std::string bin = strtobin(hex);
    std::string out;
    for (std::size_t i = 0; i + 1 < bin.size(); ++i) {
        int b = static_cast<unsigned char>(bin[i]);
        out += static_cast<char>((b - key_at(k, i) + 127000) % 127);
    }
    return out;
}

std::string cr_encode(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

std::string cr_decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) break;
        char n = text[++i];
        if (n == '\\') out += '\\';
        else if (n == 'n') out += '\n';
    }
    return out;
}

std::string pass_encrypt(std::string_view text) {
    unsigned long h = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        long b = static_cast<signed char>(text[i]);
        h = (h * 32 + static_cast<unsigned long>(b * static_cast<long>(i))) & 0xFFFFFUL;
    }
    return sfmt("%lx", h);
}
