#include "MyString.h"

#include <cstdio>

#include "MyMD5.h"
#include "Provider.h"

std::string MyString::MD5Hash(std::string text) {
    return md5(text);
}

std::string MyString::Base64Encode(std::string text) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);

    size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        unsigned int group = (static_cast<unsigned char>(text[i]) << 16) |
                             (static_cast<unsigned char>(text[i + 1]) << 8) |
                             static_cast<unsigned char>(text[i + 2]);
        out += alphabet[(group >> 18) & 0x3f];
        out += alphabet[(group >> 12) & 0x3f];
        out += alphabet[(group >> 6) & 0x3f];
        out += alphabet[group & 0x3f];
    }

    size_t rest = text.size() - i;
    if (rest == 0) {
        return out;
    }
    unsigned int group = static_cast<unsigned int>(static_cast<unsigned char>(text[i])) << 16;
    if (rest == 2) {
        group |= static_cast<unsigned int>(static_cast<unsigned char>(text[i + 1])) << 8;
    }
    out += alphabet[(group >> 18) & 0x3f];
    out += alphabet[(group >> 12) & 0x3f];
    out += (rest == 2) ? alphabet[(group >> 6) & 0x3f] : '=';
    out += '=';
    return out;
}

std::string MyString::GetHostname(std::string username, std::string location) {
    if (username.empty()) {
        return "";
    }
    std::string name = username + ".tag." + username[0] + Provider::tagDomain;
    if (location.empty()) {
        return name;
    }
    return location + "." + name;
}

std::string MyString::Replace(std::string subject, std::string search, std::string replacement) {
    if (subject.empty() || search.empty()) {
        return subject;
    }
    // Inserted text is skipped, so a replacement containing `search` cannot loop.
    size_t position = 0;
    while ((position = subject.find(search, position)) != std::string::npos) {
        subject.replace(position, search.size(), replacement);
        position += replacement.size();
    }
    return subject;
}

std::string MyString::Remove(std::string subject, std::string search) {
    if (subject.empty() || search.empty()) {
        return subject;
    }
    size_t position = 0;
    while ((position = subject.find(search, position)) != std::string::npos) {
        subject.erase(position, search.size());
    }
    return subject;
}

std::string MyString::GetJsonValue(std::string json, std::string key) {
    std::string pattern = "\"" + key + "\":";
    size_t found = json.find(pattern);
    if (found == std::string::npos) {
        return "";
    }
    size_t start = found + key.size() + 3;
    size_t end = json.find(',', start);
    if (end == std::string::npos) {
        end = json.find('}', start);
        if (end == std::string::npos) {
            return "";
        }
    }
    return Remove(json.substr(start, end - start), "\"");
}

std::string MyString::MakeString(bool value) {
    return value ? "true" : "false";
}

std::string MyString::MakeString(int value) {
    char text[16];
    int length = std::snprintf(text, sizeof text, "%d", value);
    if (length < 0 || static_cast<size_t>(length) >= sizeof text) {
        return "";
    }
    return std::string(text, static_cast<size_t>(length));
}

std::string MyString::Escape(std::string text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (IsLogByte(byte)) {
            out += c;
            continue;
        }
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0x0f];
    }
    return out;
}
