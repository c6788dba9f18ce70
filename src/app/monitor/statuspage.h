#pragma once

#include "app/monitor/statusboard.h"

#include <string>
#include <string_view>
#include <vector>

namespace vantor::app {

// The status page at / of the status endpoint: plain HTML, CSS and a small script, all served
// from the program (no outside resource), and the JSON document the script reads every half
// second. Read only. Every text the board holds came through pageText(), and the script puts
// every one into the page as text, never as markup.
//
// Bounded: the files are built in (MaxFileBytes, checked when compiling), and the document's
// texts are bounded in the board, so the document is at most MaxJsonBytes.
class StatusPage
{
public:
    static constexpr std::size_t MaxFileBytes = 16 * 1024;
    static constexpr std::size_t MaxJsonBytes = 64 * 1024;

    struct File
    {
        const char *path; // a civetweb handler's pattern
        const char *type; // Content-Type
        std::string_view body;
    };
    static const std::vector<File> &files();

    static std::string json(const StatusBoard::PageView &view);
};

} // namespace vantor::app
