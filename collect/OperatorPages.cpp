#include "collect/OperatorPages.h"

#include <algorithm>
#include <cstdio>

namespace orvant {

namespace {

// Colours (text on background, contrast ratio by WCAG 2.x):
//   #1b1b1b body text on #ffffff 17.2:1, on #eef2f7 (table head) 15.3:1, on #f7f9fb (even rows) 16.3:1
//   #0b4f9c links on #ffffff 8.0:1, on #f7f9fb 7.6:1, on #eef2f7 7.2:1
//   #9b1c1c flags on #ffffff 8.2:1, on #f7f9fb 7.7:1
//   #4a4a4a notes and the filter's placeholder on #ffffff 8.9:1, on #f7f9fb 8.4:1
//   #ffffff top bar and button text on #1f3a5f 11.5:1
const char* kStyle = R"css(
*{box-sizing:border-box}
body{margin:0;font:16px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1b1b1b;background:#fff}
header{background:#1f3a5f;color:#fff;padding:.6rem 1rem;display:flex;flex-wrap:wrap;gap:1rem;align-items:baseline}
header b{font-size:1.1rem}
header a{color:#fff;font-weight:600}
main{padding:1rem;max-width:72rem;margin:0 auto}
a{color:#0b4f9c}
h1{font-size:1.4rem;margin:.2rem 0 .8rem}
h2{font-size:1.1rem;margin:0 0 .3rem;overflow-wrap:anywhere}
.note{color:#4a4a4a}
.flag{color:#9b1c1c;font-weight:600}
.scroll{overflow-x:auto;-webkit-overflow-scrolling:touch}
table{border-collapse:collapse;width:100%}
th,td{padding:.4rem .55rem;text-align:left;border-bottom:1px solid #d5dbe3;vertical-align:top}
th{background:#eef2f7;white-space:nowrap}
tbody tr:nth-child(even){background:#f7f9fb}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
td.who{overflow-wrap:anywhere;min-width:8rem}
form.filter{display:flex;flex-wrap:wrap;gap:.5rem;margin-bottom:.8rem}
form.filter input[type=search]{flex:1 1 14rem;padding:.4rem;font:inherit;color:#1b1b1b;border:1px solid #6b7785;border-radius:4px}
form.filter input::placeholder{color:#4a4a4a;opacity:1}
button{font:inherit;padding:.4rem .9rem;color:#fff;background:#1f3a5f;border:0;border-radius:4px}
.pager{display:flex;gap:1rem;margin:.8rem 0}
.take{border:1px solid #d5dbe3;border-radius:6px;padding:.7rem;margin:0 0 .8rem}
.take audio{width:100%;max-width:32rem;display:block;margin:.4rem 0}
svg.wave{width:100%;max-width:32rem;height:64px;display:block;background:#f7f9fb;border:1px solid #d5dbe3}
svg.wave .trace{stroke:#1f3a5f;fill:none}
svg.wave .axis{stroke:#b8c2cf;stroke-width:1}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:.1rem .8rem;margin:0 0 1rem}
dl.facts dt{font-weight:600}
dl.facts dd{margin:0;overflow-wrap:anywhere}
@media (max-width:40rem){main{padding:.6rem}th,td{padding:.35rem .4rem}body{font-size:15px}}
)css";

std::string Shell(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           HtmlEscape(title) + " \xE2\x80\x93 orvant-collect</title><style>" + kStyle +
           "</style></head><body><header><b>orvant-collect</b><a href=\"/\">Uploads</a>"
           "<a href=\"/coverage\">Coverage</a></header><main>" +
           body + "</main></body></html>\n";
}

std::string Num(int64_t v) { return std::to_string(v); }

struct TColumn {
    TUploadQuery::TKey key;
    const char* title;
    bool numeric;
};
const TColumn kColumns[] = {
    {TUploadQuery::kTime, "Received (UTC)", false}, {TUploadQuery::kSpeaker, "Speaker", false},
    {TUploadQuery::kCountry, "Country", false},      {TUploadQuery::kRegion, "Region", false},
    {TUploadQuery::kTakes, "Takes", true},           {TUploadQuery::kDuration, "Duration", true},
    {TUploadQuery::kFlagged, "Flagged", true},       {TUploadQuery::kDuplicates, "Duplicates", true},
};

std::string ListUrl(const TUploadQuery& q, TUploadQuery::TKey key, bool descending, int64_t page) {
    std::string url = std::string("/?sort=") + UploadKeyWord(key) + "&dir=" + (descending ? "desc" : "asc");
    if (!q.filter.empty()) url += "&q=" + UrlEscape(q.filter);
    if (page > 1) url += "&page=" + Num(page);
    return url;
}

std::string ReceivedText(const std::string& iso) {
    // "2026-12-09T15:00:00Z" reads better as "2026-12-09 15:00:00".
    std::string s = iso;
    if (s.size() >= 19 && s[10] == 'T') s[10] = ' ';
    if (!s.empty() && s.back() == 'Z') s.pop_back();
    return s;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\0': out += "\xEF\xBF\xBD"; break;
            default: out += c;
        }
    }
    return out;
}

std::string UrlEscape(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::map<std::string, std::string> ParseQuery(std::string_view query) {
    const auto decode = [](std::string_view s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            const auto hexValue = [](char h) {
                if (h >= '0' && h <= '9') return h - '0';
                if (h >= 'a' && h <= 'f') return h - 'a' + 10;
                if (h >= 'A' && h <= 'F') return h - 'A' + 10;
                return -1;
            };
            if (s[i] == '+') {
                out += ' ';
            } else if (s[i] == '%' && i + 2 < s.size() + 0 && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
                out += char(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    std::map<std::string, std::string> pairs;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        const size_t eq = part.find('=');
        if (!part.empty())
            pairs.emplace(decode(part.substr(0, eq)), eq == std::string_view::npos ? "" : decode(part.substr(eq + 1)));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return pairs;
}

const char* UploadKeyWord(TUploadQuery::TKey key) {
    static const char* words[] = {"time", "speaker", "country", "region", "takes", "duration", "flagged", "duplicates"};
    return words[key];
}

TUploadQuery ParseUploadQuery(const std::map<std::string, std::string>& query) {
    TUploadQuery q;
    const auto get = [&](const char* k) {
        const auto it = query.find(k);
        return it == query.end() ? std::string() : it->second;
    };
    const std::string sort = get("sort");
    for (int k = TUploadQuery::kTime; k <= TUploadQuery::kDuplicates; ++k)
        if (sort == UploadKeyWord(TUploadQuery::TKey(k))) q.key = TUploadQuery::TKey(k);
    const std::string dir = get("dir");
    if (dir == "asc") q.descending = false;
    else if (dir == "desc") q.descending = true;
    else q.descending = q.key != TUploadQuery::kSpeaker && q.key != TUploadQuery::kCountry &&
                        q.key != TUploadQuery::kRegion;
    q.filter = get("q").substr(0, 200);
    const std::string page = get("page");
    if (!page.empty() && page.size() < 10 && page.find_first_not_of("0123456789") == std::string::npos)
        q.page = std::max<int64_t>(1, std::stoll(page));
    return q;
}

std::string FormatDuration(int64_t ms) {
    if (ms < 0) ms = 0;
    char buf[48];
    const int64_t tenths = (ms + 50) / 100;
    const int64_t minutes = tenths / 600, rest = tenths % 600;
    if (minutes >= 60)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%lld", (long long)(minutes / 60), (long long)(minutes % 60),
                      (long long)(rest / 10), (long long)(rest % 10));
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld.%lld", (long long)minutes, (long long)(rest / 10),
                      (long long)(rest % 10));
    return buf;
}

std::string UploadsPage(const std::vector<TUploadRow>& rows, int64_t total, const TUploadQuery& q) {
    std::string b = "<h1>Uploads</h1>";
    b += "<form class=\"filter\" method=\"get\" action=\"/\"><input type=\"search\" name=\"q\" value=\"" +
         HtmlEscape(q.filter) +
         "\" placeholder=\"Speaker, country, region or archive\" aria-label=\"Filter\">"
         "<input type=\"hidden\" name=\"sort\" value=\"" +
         std::string(UploadKeyWord(q.key)) + "\"><input type=\"hidden\" name=\"dir\" value=\"" +
         (q.descending ? "desc" : "asc") + "\"><button type=\"submit\">Filter</button></form>";
    const int64_t pages = std::max<int64_t>(1, (total + TUploadQuery::kPageSize - 1) / TUploadQuery::kPageSize);
    b += "<p class=\"note\">" + Num(total) + (total == 1 ? " upload" : " uploads") +
         (q.filter.empty() ? "" : " matching \xE2\x80\x9C" + HtmlEscape(q.filter) + "\xE2\x80\x9D") + ", page " +
         Num(std::min(q.page, pages)) + " of " + Num(pages) + ".</p>";
    b += "<div class=\"scroll\"><table id=\"uploads\"><thead><tr>";
    for (const TColumn& c : kColumns) {
        // A click on the column that sorts the table turns its order round.
        const bool current = c.key == q.key;
        const bool nextDescending = current ? !q.descending : c.numeric || c.key == TUploadQuery::kTime;
        std::string mark = current ? (q.descending ? " \xE2\x96\xBC" : " \xE2\x96\xB2") : "";
        b += std::string("<th") + (c.numeric ? " class=\"n\"" : "") +
             (current ? std::string(" aria-sort=\"") + (q.descending ? "descending" : "ascending") + "\"" : "") +
             "><a href=\"" + HtmlEscape(ListUrl(q, c.key, nextDescending, 1)) + "\">" + c.title + "</a>" + mark +
             "</th>";
    }
    b += "</tr></thead><tbody>";
    for (const TUploadRow& r : rows) {
        const std::string link = "/upload?id=" + Num(r.id);
        b += "<tr><td><a href=\"" + link + "\">" + HtmlEscape(ReceivedText(r.received)) + "</a></td><td class=\"who\">" +
             HtmlEscape(r.name) + "</td><td>" + HtmlEscape(r.country) + "</td><td>" + HtmlEscape(r.region) +
             "</td><td class=\"n\">" + Num(r.takes) + "</td><td class=\"n\">" + FormatDuration(r.totalMs) +
             "</td><td class=\"n\">" + (r.flagged ? "<span class=\"flag\">" + Num(r.flagged) + "</span>" : "0") +
             "</td><td class=\"n\">" + Num(r.duplicates) + "</td></tr>";
    }
    if (rows.empty()) b += "<tr><td colspan=\"8\">No uploads.</td></tr>";
    b += "</tbody></table></div><nav class=\"pager\">";
    if (q.page > 1) b += "<a href=\"" + HtmlEscape(ListUrl(q, q.key, q.descending, q.page - 1)) + "\">\xE2\x86\x90 Newer page</a>";
    if (q.page < pages)
        b += "<a href=\"" + HtmlEscape(ListUrl(q, q.key, q.descending, q.page + 1)) + "\">Next page \xE2\x86\x92</a>";
    b += "</nav>";
    return Shell("Uploads", b);
}

std::string UploadPage(const TUploadRow& u, const std::vector<TTakeView>& takes, bool haveCatalogue) {
    std::string b = "<h1>Upload of " + HtmlEscape(u.name.empty() ? "(no name)" : u.name) + "</h1><dl class=\"facts\">";
    const auto fact = [&](const char* k, const std::string& v) { b += std::string("<dt>") + k + "</dt><dd>" + v + "</dd>"; };
    fact("Received", HtmlEscape(ReceivedText(u.received)) + " UTC");
    fact("Speaker", HtmlEscape(u.name));
    fact("Country", HtmlEscape(u.country));
    fact("Region", HtmlEscape(u.region));
    fact("Archive", HtmlEscape(u.archive));
    fact("Takes", Num(u.takes) + ", " + FormatDuration(u.totalMs));
    fact("Flagged", u.flagged ? "<span class=\"flag\">" + Num(u.flagged) + "</span>" : "0");
    fact("Duplicates received", Num(u.duplicates));
    b += "</dl>";
    if (!haveCatalogue) b += "<p class=\"note\">No catalogue was given (--catalogue): captions are not shown.</p>";
    for (const TTakeView& t : takes) {
        b += "<section class=\"take\"><h2>";
        if (t.inCatalogue)
            b += HtmlEscape(t.caption);
        else if (haveCatalogue)
            b += "<span class=\"note\">(not in the catalogue)</span>";
        else
            b += HtmlEscape(t.name);
        b += "</h2><p class=\"note\">" + HtmlEscape(t.name) + " \xC2\xB7 " + FormatDuration(t.durationMs) +
             (t.format.empty() ? "" : " \xC2\xB7 " + HtmlEscape(t.format)) + "</p>";
        b += t.flags.empty() ? "<p>Checks: no flags</p>" : "<p class=\"flag\">Checks: " + HtmlEscape(t.flags) + "</p>";
        if (!t.audioUrl.empty())
            b += "<audio controls preload=\"metadata\" src=\"" + HtmlEscape(t.audioUrl) + "\"></audio>";
        b += t.waveformSvg;
        b += "</section>";
    }
    if (takes.empty()) b += "<p>This upload holds no takes.</p>";
    return Shell("Upload of " + u.name, b);
}

std::string CoveragePage(std::vector<TCoverageRow> rows, bool haveCatalogue) {
    std::string b = "<h1>Coverage</h1>";
    if (!haveCatalogue)
        return Shell("Coverage", b + "<p>Start the server with --catalogue FILE to see which phrases were recorded.</p>");
    std::stable_partition(rows.begin(), rows.end(), [](const TCoverageRow& r) { return r.speakers == 0; });
    const auto missing = std::count_if(rows.begin(), rows.end(), [](const TCoverageRow& r) { return r.speakers == 0; });
    b += "<p class=\"note\">" + Num(int64_t(rows.size())) + " phrases with a take name; " + Num(missing) +
         " recorded by nobody (listed first).</p><div class=\"scroll\"><table id=\"coverage\"><thead><tr>"
         "<th>Phrase</th><th>Take</th><th class=\"n\">Speakers</th><th class=\"n\">Flagged</th></tr></thead><tbody>";
    for (const TCoverageRow& r : rows)
        b += "<tr><td class=\"who\">" + HtmlEscape(r.caption) + "</td><td>" + HtmlEscape(r.take) + "</td><td class=\"n\">" +
             (r.speakers ? Num(r.speakers) : "<span class=\"flag\">0</span>") + "</td><td class=\"n\">" +
             (r.flagged ? "<span class=\"flag\">" + Num(r.flagged) + "</span>" : "0") + "</td></tr>";
    b += "</tbody></table></div>";
    return Shell("Coverage", b);
}

std::string MessagePage(const std::string& title, const std::string& text) {
    return Shell(title, "<h1>" + HtmlEscape(title) + "</h1><p>" + HtmlEscape(text) + "</p>");
}

}  // namespace orvant
