#include "topics/MqttOptions.h"

#include "topics/MqttTopics.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <string_view>

namespace pontivo {
namespace {

// HOST[:PORT], mqtt://HOST[:PORT] or mqtts://HOST[:PORT], HOST possibly an [IPv6] literal; a trailing '/'
// is allowed.
bool ParseUrl(std::string_view url, MqttOptions& options)
{
    std::string_view rest;
    if (url.find("://") == std::string_view::npos) {
        rest = url; // the bare form most tools take
    } else if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        options.tls = true;
        options.port = 8883;
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::size_t hostEnd = rest.rfind(':');
    std::size_t portStart = hostEnd;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return false;
        options.host = std::string(rest.substr(1, close - 1));
        hostEnd = close + 1;
        portStart = close + 1 < rest.size() && rest[close + 1] == ':' ? close + 1 : std::string_view::npos;
        if (hostEnd != rest.size() && portStart == std::string_view::npos)
            return false;
    } else {
        options.host = std::string(rest.substr(0, hostEnd));
    }
    if (portStart != std::string_view::npos) {
        const std::string_view digits = rest.substr(portStart + 1);
        int port = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535)
            return false;
        options.port = port;
    }
    // Without brackets a ':' in the host is an IPv6 literal cut at its last group.
    const bool bracketed = !rest.empty() && rest.front() == '[';
    return !options.host.empty() && options.host.find_first_of(bracketed ? "/@?# " : "/@?# :") == std::string::npos;
}

// http://HOST[:PORT][/PATH] or https://...: what a hub's page may link to; a trailing '/' is dropped.
std::string ReadPublicUrl(std::string text, std::string& url)
{
    const std::size_t scheme = text.starts_with("http://") ? 7 : text.starts_with("https://") ? 8 : 0;
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
    if (scheme == 0 || text.size() == scheme || text[scheme] == '/' || !plain)
        return "--public-url '" + text + "' is not http://HOST[:PORT] or https://HOST[:PORT]";
    while (text.back() == '/')
        text.pop_back();
    url = text;
    return {};
}

std::string ReadEntities(const std::string& text, std::size_t& count)
{
    constexpr std::size_t kMost = 1000000;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error == std::errc() && end == text.data() + text.size() && count >= 1 && count <= kMost)
        return {};
    return "--mqtt-entities '" + text + "' is not a number from 1 to " + std::to_string(kMost);
}

} // namespace

std::string ReadMqttOptions(const MqttTexts& texts, MqttOptions& options)
{
    options = MqttOptions{};
    const bool prefixGiven = texts.prefix != MqttTexts{}.prefix;
    const bool others = prefixGiven || !texts.user.empty() || !texts.passwordFile.empty() || texts.discovery ||
                        !texts.publicUrl.empty() || !texts.entities.empty();
    if (texts.url.empty())
        return others ? "--mqtt-prefix, --mqtt-user, --mqtt-password-file, --mqtt-discovery, --mqtt-entities and "
                        "--public-url go with --mqtt URL" : "";
    options.enabled = true;
    options.url = texts.url;
    if (!ParseUrl(texts.url, options))
        return "--mqtt '" + texts.url + "' is not mqtt://HOST[:PORT], mqtts://HOST[:PORT] or HOST[:PORT]";
    if (prefixGiven)
        options.prefix = texts.prefix;
    if (const std::string problem = PrefixProblem(options.prefix); !problem.empty())
        return "--mqtt-prefix '" + options.prefix + "' " + problem;
    if (texts.discovery)
        options.discovery = texts.discovery->empty() ? kDefaultDiscoveryPrefix : *texts.discovery;
    if (const std::string problem = PrefixProblem(options.discovery); texts.discovery && !problem.empty())
        return "--mqtt-discovery '" + options.discovery + "' " + problem;
    if (const std::string problem = texts.publicUrl.empty() ? "" : ReadPublicUrl(texts.publicUrl, options.publicUrl);
        !problem.empty())
        return problem;
    if (const std::string problem = texts.entities.empty() ? "" : ReadEntities(texts.entities, options.maxEntities);
        !problem.empty())
        return problem;
    options.user = texts.user;
    if (texts.passwordFile.empty())
        return {};
    if (texts.user.empty())
        return "--mqtt-password-file goes with --mqtt-user";
    std::ifstream file(texts.passwordFile, std::ios::binary);
    if (!file)
        return "--mqtt-password-file '" + texts.passwordFile + "' cannot be read";
    options.password.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad())
        return "--mqtt-password-file '" + texts.passwordFile + "' cannot be read";
    // Editors end a file with a newline that is no part of the password.
    while (!options.password.empty() && (options.password.back() == '\n' || options.password.back() == '\r'))
        options.password.pop_back();
    return {};
}

} // namespace pontivo
