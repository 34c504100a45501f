#include "api/StaticFiles.h"

#include "api/JsonText.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace pontivo {
namespace {

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);
// Every placeholder begins so; most files, binary ones above all, hold none.
constexpr std::string_view kPlaceholderStart = "[server";

std::string PercentEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string HtmlEscape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

bool StepsOut(std::string_view segment)
{
#ifdef _WIN32
    if (segment.find('\\') != std::string_view::npos || segment.find(':') != std::string_view::npos)
        return true;
#endif
    return segment == ".." || segment.find('/') != std::string_view::npos ||
           segment.find('\0') != std::string_view::npos;
}

struct Mapped {
    Segments relative; // decoded segments after the command
    bool refused = false;
};

// Only this command reads the target as a URL: the query goes, escapes are decoded.
Mapped MapSegments(const Segments& segments)
{
    std::string rest;
    for (std::size_t i = 1; i < segments.size(); ++i)
        rest.append(i > 1 ? "/" : "").append(segments[i]);
    rest.erase(std::min(rest.find('?'), rest.size()));
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    Mapped mapped;
    for (std::size_t start = 0; !rest.empty() && start <= rest.size();) {
        const std::size_t end = std::min(rest.find('/', start), rest.size());
        mapped.relative.push_back(*PercentDecoded(std::string_view(rest).substr(start, end - start), StrayPercent::Kept));
        mapped.refused = mapped.refused || StepsOut(mapped.relative.back());
        start = end + 1;
    }
    return mapped;
}

std::string Href(const Segments& components)
{
    std::string href = "/files";
    for (const std::string& component : components)
        href.append("/").append(PercentEncode(component));
    return href;
}

std::string Link(const std::string& href, std::string_view text)
{
    return "<a href='" + href + "'>" + HtmlEscape(text) + "</a><br/>";
}

std::string Sorry(const std::string& localPath, std::string_view what)
{
    return "Sorry! <b>" + HtmlEscape(localPath) + "</b> " + std::string(what);
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to)
{
    std::size_t at = text.find(from);
    if (at == std::string::npos)
        return;
    std::string result;
    result.reserve(text.size());
    std::size_t done = 0;
    for (; at != std::string::npos; at = text.find(from, done)) {
        result.append(text, done, at - done).append(to);
        done = at + from.size();
    }
    result.append(text, done);
    text = std::move(result);
}

} // namespace

void FillPlaceholders(std::string& text, const StaticFiles::AddressFunction& address)
{
    if (text.find(kPlaceholderStart) == std::string::npos || !address)
        return;
    const ServerAddress server = address();
    const std::string port = std::to_string(server.port);
    ReplaceAll(text, "[server]", server.hostName + ":" + port);
    ReplaceAll(text, "[server_ip]", server.ip);
    ReplaceAll(text, "[server_port]", port);
}

StaticFiles::StaticFiles(fs::path filesFolder, AddressFunction address, StaticFilesFolder::Resolution resolution)
    : m_folder(std::move(filesFolder))
    , m_address(std::move(address))
    , m_resolution(resolution)
{
    if (!m_folder.has_filename() && m_folder.has_relative_path())
        m_folder = m_folder.parent_path();
}

void StaticFiles::ServeFiles(const Segments& segments, std::string& body, FileBody& file) const
{
    const Mapped mapped = MapSegments(segments);
    std::string local = m_folder.string();
    for (const std::string& segment : mapped.relative)
        local.append(1, kSeparator).append(segment);
    body.clear();
    if (mapped.refused) {
        body = Sorry(local, "not found.");
        return;
    }
    const StaticFilesFolder folder(m_folder, m_resolution);
    StaticFilesFolder::Entry entry = folder.Open(mapped.relative);
    if (entry.kind == StaticFilesFolder::Kind::Folder) {
        Segments index = mapped.relative;
        index.emplace_back("index.html");
        StaticFilesFolder::Entry page = folder.Open(index);
        if (page.kind == StaticFilesFolder::Kind::File) {
            entry = std::move(page);
            local.append(1, kSeparator).append("index.html");
        }
    }
    if (entry.kind == StaticFilesFolder::Kind::File)
        ServeFile(local, std::move(entry.file), body, file);
    else if (entry.kind == StaticFilesFolder::Kind::Folder)
        ListFolder(folder, mapped.relative, entry.names, body);
    else
        body = Sorry(local, "not found.");
}

// Read once: a small file whole, placeholders filled in; a larger one goes out as it stands,
// read piece by piece as it is sent, so no file ever holds up the loop for long.
void StaticFiles::ServeFile(const std::string& path, FileBody opened, std::string& body, FileBody& file) const
{
    if (!opened || opened.size > kMaxFileBytes) {
        body = Sorry(path, "could not be read.");
        return;
    }
    if (opened.size >= kSendFromFileBytes) {
        file = std::move(opened);
        return;
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(opened.size));
    // A file cut short while we read it is served as far as it went.
    while (ReadFileBody(opened, content, static_cast<std::size_t>(opened.size))) {
    }
    if (std::ferror(opened.file.get())) {
        body = Sorry(path, "could not be read.");
        return;
    }
    FillPlaceholders(content, m_address);
    body = std::move(content);
}

void StaticFiles::ListFolder(const StaticFilesFolder& folder, const Segments& relative,
                             const std::vector<std::string>& names, std::string& body)
{
    Segments components;
    std::copy_if(relative.begin(), relative.end(), std::back_inserter(components),
                 [](const std::string& s) { return !s.empty() && s != "."; });
    if (!components.empty())
        body += Link(Href(Segments(components.begin(), components.end() - 1)), "..");

    std::vector<std::string> folders;
    std::vector<std::string> files;
    for (const std::string& name : names) {
        // What could not be opened from its link is not offered.
        components.push_back(name);
        const StaticFilesFolder::Kind kind = folder.KindOf(components);
        components.pop_back();
        if (kind == StaticFilesFolder::Kind::Folder)
            folders.push_back(name);
        else if (kind == StaticFilesFolder::Kind::File)
            files.push_back(name);
    }
    std::sort(folders.begin(), folders.end());
    std::sort(files.begin(), files.end());
    for (const auto* group : {&folders, &files}) {
        for (const std::string& name : *group) {
            components.push_back(name);
            body += Link(Href(components), name);
            components.pop_back();
        }
    }
}

} // namespace pontivo
