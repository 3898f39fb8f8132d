#include "packer/keys/pkcs11_uri.h"

#include "packer/pack_error.h"

#include <algorithm>
#include <cctype>

namespace packer {

namespace {

constexpr const char *Scheme = "pkcs11:";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string Decode(const std::string &uri, const std::string &value)
{
    std::string decoded;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            decoded += value[i];
            continue;
        }
        int high = i + 2 < value.size() ? HexValue(value[i + 1]) : -1;
        int low = high < 0 ? -1 : HexValue(value[i + 2]);
        if (low < 0)
            throw UnusableKey(uri + ": a % is not followed by two hex digits");
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

void Set(const std::string &uri, std::optional<std::string> &field, const std::string &name, const std::string &value)
{
    if (field)
        throw UnusableKey(uri + ": " + name + " is given twice");
    field = Decode(uri, value);
}

// Calls take(name, value) for each name=value of a list split at separator.
template <typename Take>
void ForEachAttribute(const std::string &uri, const std::string &list, char separator, Take take)
{
    std::size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        std::size_t end = list.find(separator, start);
        if (end == std::string::npos)
            end = list.size();
        std::string attribute = list.substr(start, end - start);
        std::size_t equals = attribute.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UnusableKey(uri + ": \"" + attribute + "\" is not name=value");
        take(attribute.substr(0, equals), attribute.substr(equals + 1));
        start = end + 1;
    }
}

// Where each attribute goes: the path names the token and the key, the query how to reach them.
bool IsQueryAttribute(const std::string &name)
{
    return name == "pin-source" || name == "pin-value" || name == "module-path" || name == "module-name";
}

bool IsPathAttribute(const std::string &name)
{
    return name == "token" || name == "manufacturer" || name == "model" || name == "serial" || name == "object" ||
           name == "id" || name == "type" || name.rfind("library-", 0) == 0 || name.rfind("slot-", 0) == 0;
}

bool IsSecret(const std::string &name)
{
    return name == "pin-value" || name == "pin-source";
}

} // namespace

std::string Pkcs11UriForMessages(const std::string &text)
{
    std::string shown;
    std::size_t start = 0;
    const std::size_t end = std::min(text.find('?'), text.size());
    while (start < end) {
        std::size_t stop = std::min(text.find(';', start), end);
        std::string attribute = text.substr(start, stop - start);
        std::size_t equals = attribute.find('=');
        std::string name = attribute.substr(0, equals);
        if (name.rfind(Scheme, 0) == 0)
            name.erase(0, std::char_traits<char>::length(Scheme));
        if (equals != std::string::npos && IsSecret(name))
            attribute = attribute.substr(0, equals + 1) + "(redacted)";
        shown += attribute + (stop < end ? ";" : "");
        start = stop + 1;
    }
    return shown;
}

Pkcs11Uri ParsePkcs11Uri(const std::string &text)
{
    // Messages show the path part only, without secrets: the query may hold a PIN that is refused.
    const std::string shown = Pkcs11UriForMessages(text);
    Pkcs11Uri uri;
    uri.text = shown;
    if (text.rfind(Scheme, 0) != 0)
        throw UnusableKey(shown + ": not a pkcs11: URI");
    std::string rest = text.substr(std::char_traits<char>::length(Scheme));
    std::size_t question = rest.find('?');
    std::string path = rest.substr(0, question);
    std::string query = question == std::string::npos ? std::string() : rest.substr(question + 1);

    auto refusePinValue = [&](const std::string &name) {
        if (name == "pin-value")
            throw UnusableKey(shown + ": pin-value would put the PIN on the command line; give pin-source=file:PATH or "
                                      "--pass env:VAR|file:PATH");
    };
    ForEachAttribute(shown, path, ';', [&](const std::string &name, const std::string &value) {
        refusePinValue(name);
        if (IsQueryAttribute(name))
            throw UnusableKey(shown + ": " + name + " belongs in the query, after a ?: pkcs11:token=...;object=...?" +
                              name + "=" + (name == "pin-source" ? "file:PATH" : "..."));
        if (name == "token")
            Set(shown, uri.token, name, value);
        else if (name == "manufacturer")
            Set(shown, uri.manufacturer, name, value);
        else if (name == "model")
            Set(shown, uri.model, name, value);
        else if (name == "serial")
            Set(shown, uri.serial, name, value);
        else if (name == "object")
            Set(shown, uri.object, name, value);
        else if (name == "id")
            Set(shown, uri.id, name, value);
        else if (name == "type")
            Set(shown, uri.type, name, value);
        // Library and slot attributes narrow the search no further than the token does here.
        else if (name.rfind("library-", 0) != 0 && name.rfind("slot-", 0) != 0 && name.rfind("x-", 0) != 0)
            throw UnusableKey(shown + ": unknown attribute " + name);
    });
    ForEachAttribute(shown, query, '&', [&](const std::string &name, const std::string &value) {
        refusePinValue(name);
        if (IsPathAttribute(name))
            throw UnusableKey(shown + ": " + name + " belongs in the path, before the ?: pkcs11:" + name +
                              "=...;object=...?pin-source=file:PATH");
        if (name == "module-path")
            Set(shown, uri.modulePath, name, value);
        else if (name == "module-name")
            Set(shown, uri.moduleName, name, value);
        else if (name == "pin-source")
            Set(shown, uri.pinSource, name, value);
        else if (name.rfind("x-", 0) != 0)
            throw UnusableKey(shown + ": unknown query attribute " + name);
    });
    if (uri.pinSource) {
        std::string &source = *uri.pinSource;
        if (source.rfind("file://", 0) == 0)
            source.erase(0, 7);
        else if (source.rfind("file:", 0) == 0)
            source.erase(0, 5);
        else if (source.find(':') != std::string::npos)
            throw UnusableKey(shown + ": pin-source takes file:PATH only");
    }
    if (uri.type && *uri.type != "private" && *uri.type != "public")
        throw UnusableKey(shown + ": type=" + *uri.type + " is not a key the payload is signed or verified with");
    if (!uri.object && !uri.id)
        throw UnusableKey(shown + ": name the key with object=LABEL or id=%XX...");
    return uri;
}

} // namespace packer
