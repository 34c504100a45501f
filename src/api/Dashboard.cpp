#include "api/Dashboard.h"

#include "http/HttpResponse.h"

#include <algorithm>
#include <array>
#include <utility>

namespace pontivo {
namespace {

constexpr std::string_view kIndex = "index.html";
constexpr std::string_view kNotRecording = R"(data-recording="no")";
constexpr std::string_view kRecording = R"(data-recording="yes")";
constexpr std::string_view kHeadLines = "Cache-Control: no-cache\r\n"
                                        "Content-Security-Policy: default-src 'self'; img-src 'self' data:; "
                                        "frame-ancestors 'none'; form-action 'none'\r\n";

std::string_view TypeOf(std::string_view name)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> types{{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
    }};
    for (const auto& [ending, type] : types) {
        if (name.ends_with(ending))
            return type;
    }
    return "application/octet-stream";
}

const DashboardFile* FindFile(std::string_view name)
{
    const auto files = DashboardFiles();
    const auto found =
        std::find_if(files.begin(), files.end(), [name](const DashboardFile& file) { return file.name == name; });
    return found == files.end() ? nullptr : &*found;
}

} // namespace

std::string DashboardAnswer(std::string_view caption, const Segments& segments, std::string_view cors, bool recording)
{
    std::string_view name = segments.size() > 1 ? std::string_view(segments[1]) : kIndex;
    name = name.substr(0, name.find('?')); // a query (a reload's cache breaker) names no other file
    if (name.empty())
        name = kIndex;
    const DashboardFile* file = segments.size() > 2 ? nullptr : FindFile(name);
    if (!file)
        return WriteResponse(caption, 404, cors, "Content-Type: text/plain; charset=utf-8\r\n",
                             "No such file in the dashboard: open /ui/\n");
    std::string lines = "Content-Type: " + std::string(TypeOf(name)) + "\r\n";
    lines += kHeadLines;
    std::string text(file->text);
    if (const std::size_t mark = text.find(kNotRecording); recording && name == kIndex && mark != std::string::npos)
        text.replace(mark, kNotRecording.size(), kRecording);
    return WriteResponse(caption, 200, cors, lines, text);
}

} // namespace pontivo
