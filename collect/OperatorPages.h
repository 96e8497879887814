// The operator's pages as functions over plain records: the uploads table,
// one upload with its takes, and the catalogue's coverage. Server-rendered
// HTML with its style sheet inline, no script needed (a few lines sort the
// table in place; the links sort it on the server without them). Every text
// from an upload or the catalogue is escaped: speaker names are hostile.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "collect/Index.h"

namespace orvant {

std::string HtmlEscape(std::string_view text);
// A query-string component escaped for a URL (RFC 3986 unreserved kept).
std::string UrlEscape(std::string_view text);
// "a=1&b=x%20y" into its pairs ('+' is a space); bad escapes are kept as
// they are.
std::map<std::string, std::string> ParseQuery(std::string_view query);

using collect::TUploadQuery;
using collect::TUploadRow;

// The table's order, filter and page from the query string ("sort", "dir",
// "q", "page"); anything unknown or out of range gives the default.
TUploadQuery ParseUploadQuery(const std::map<std::string, std::string>& query);
// The query's key as the word used in URLs ("time", "speaker", ...).
const char* UploadKeyWord(TUploadQuery::TKey key);

// rows: the query's page; total: the rows matching the filter.
std::string UploadsPage(const std::vector<TUploadRow>& rows, int64_t total, const TUploadQuery& query);

// One take of an upload, as the page shows it.
struct TTakeView {
    std::string name;     // entry name, "p001.wav"
    std::string caption;  // from the catalogue; empty when unknown
    bool inCatalogue = false;
    int64_t durationMs = 0;
    std::string format;   // "PCM: 22.050 kHz, 16 Bit, Stereo"; empty when unreadable
    std::string flags;    // the check's words joined by ", "
    std::string audioUrl;  // where the player streams it; empty: no player
    std::string waveformSvg;  // inline drawing; may be empty
};
std::string UploadPage(const TUploadRow& upload, const std::vector<TTakeView>& takes, bool haveCatalogue);

// One phrase of the catalogue with a take name.
struct TCoverageRow {
    std::string caption, take;  // take: "p001.wav"
    int64_t speakers = 0, flagged = 0;
};
// Phrases nobody recorded come first (the caller's order otherwise).
std::string CoveragePage(std::vector<TCoverageRow> rows, bool haveCatalogue);

// A page for an error status: its title and one sentence.
std::string MessagePage(const std::string& title, const std::string& text);

// "1:02.5" for 62500 ms; "0:00.0" for 0.
std::string FormatDuration(int64_t ms);

}  // namespace orvant
