// The operator's side of the collection server as plain functions: the
// catalogue reader, who may see the pages (Basic authorization, the throttle,
// loopback), the byte ranges a player asks for, the pages' escaping and
// order, the waveform, and the export's texts and speaker ids.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <tuple>
#include <vector>

#include "app/Catalogue.h"
#include "collect/Export.h"
#include "collect/Index.h"
#include "collect/Record.h"
#include "collect/OperatorAccess.h"
#include "collect/OperatorPages.h"
#include "collect/OperatorSite.h"
#include "collect/TakeAudio.h"
#include "platform/SysUtils.h"
#include "tests/support/ScratchDir.h"

namespace orvant {
namespace {

TEST(Catalogue, ElementsInOrderWithLinesDepthsAndFailures) {
    const auto phrases = ReadCatalogueText(R"(<?xml version="1.0"?>
<phrases caption="All">
  <group caption="Numbers" wav="n000">
    <p caption="One, two"/>
    <p caption="Three &amp; &#8220;four&#8221;" wav="n002"/>
  </group>
  <p caption="Away" wav="../x"/>
  <p caption="Hidden" wav=".h"/>
  <p caption="Again" wav="n002"/>
</phrases>)",
                                           "t.xml");
    ASSERT_EQ(phrases.size(), 7u);
    const struct {
        const char* caption;
        const char* wav;
        bool hasWav, usable;
        int line, depth;
    } want[] = {{"All", "", false, false, 2, 0},          {"Numbers", "n000", true, true, 3, 1},
                {"One, two", "", false, false, 4, 2},     {"Three & \u201cfour\u201d", "n002", true, true, 5, 2},
                {"Away", "../x", true, false, 7, 1},      {"Hidden", ".h", true, false, 8, 1},
                {"Again", "n002", true, true, 9, 1}};
    for (size_t i = 0; i < phrases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(phrases[i].caption, want[i].caption);
        EXPECT_EQ(phrases[i].wav, want[i].wav);
        EXPECT_EQ(phrases[i].hasWav, want[i].hasWav);
        EXPECT_EQ(phrases[i].TakeUsable(), want[i].usable);
        EXPECT_EQ(phrases[i].line, want[i].line);
        EXPECT_EQ(phrases[i].depth, want[i].depth);
    }
    // A take shared by two elements is named by the first.
    const auto byTake = PhrasesByTake(phrases);
    EXPECT_EQ(byTake.size(), 2u);
    EXPECT_EQ(byTake.at("n002.wav")->line, 5);

    const struct {
        const char* xml;
        const char* says;
    } bad[] = {
        {"<a caption=\"x\"><b/></a>", "line 1: element <b> has no attribute \"caption\""},
        {"<a caption=\"x\">\n<!-- c --></a>", "line 2: a comment stands where only elements may"},
        {"<a caption=\"x\">text</a>", "a text stands where only elements may"},
        {"<a caption=\"x\">", "is not well-formed XML"},
        {"", "is not well-formed XML"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.xml);
        try {
            ReadCatalogueText(c.xml, "t.xml");
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    // Deep nesting is walked without recursion.
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<e caption=\"d\">";
    for (int i = 0; i < 5000; ++i) deep += "</e>";
    EXPECT_EQ(ReadCatalogueText(QByteArray::fromStdString(deep), "deep.xml").back().depth, 4999);
}

std::string Basic(const std::string& userPass) {
    return "Basic " + QByteArray::fromStdString(userPass).toBase64().toStdString();
}

TEST(OperatorAccess, BasicAuthorization) {
    const struct {
        std::string header;
        bool ok;
    } cases[] = {
        {Basic("operator:s3cret pass"), true},
        {"basic " + Basic("operator:s3cret pass").substr(6), true},
        {"  " + Basic("operator:s3cret pass") + " ", true},
        {Basic("operator:s3cret pas"), false},
        {Basic("operator:s3cret pass "), false},
        {Basic("Operator:s3cret pass"), false},
        {Basic("admin:s3cret pass"), false},
        {Basic("operators3cret pass"), false},
        {Basic(":s3cret pass"), false},
        {"Bearer " + Basic("operator:s3cret pass").substr(6), false},
        {"Basic !!!!", false},
        {"Basic", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(BasicAuthMatches(c.header, "s3cret pass"), c.ok) << c.header;
}

TEST(OperatorAccess, LoopbackAndThrottle) {
    for (const char* a : {"127.0.0.1", "127.5.6.7", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(IsLoopbackAddress(a)) << a;
    // Plain HTTP carries the password in the clear: only where nobody else listens.
    for (const auto& [listen, tls, ok] : std::vector<std::tuple<std::string, bool, bool>>{
             {"127.0.0.1:8080", false, true}, {"[::1]:8080", false, true}, {"0.0.0.0:8080", false, false},
             {"192.168.1.5:80", false, false}, {"[::]:443", false, false}, {"0.0.0.0:443", true, true}})
        EXPECT_EQ(collect::OperatorPageAllowed(listen, tls), ok) << listen << " tls " << tls;
    for (const char* a : {"10.0.0.1", "128.0.0.1", "::2", "::ffff:10.0.0.1", "localhost", ""})
        EXPECT_FALSE(IsLoopbackAddress(a)) << a;

    TLoginThrottle t;
    const auto t0 = TLoginThrottle::TClock::now();
    for (int i = 0; i < TLoginThrottle::kFailures - 1; ++i) t.Failed("10.0.0.9", t0);
    EXPECT_EQ(t.WaitSeconds("10.0.0.9", t0), 0);
    t.Failed("10.0.0.9", t0);
    EXPECT_EQ(t.WaitSeconds("10.0.0.9", t0), 60);
    EXPECT_EQ(t.WaitSeconds("10.0.0.8", t0), 0);  // per address
    EXPECT_EQ(t.WaitSeconds("10.0.0.9", t0 + std::chrono::seconds(59)), 1);
    EXPECT_EQ(t.WaitSeconds("10.0.0.9", t0 + std::chrono::seconds(60)), 0);
    // After the lockout one more failure does not lock again at once.
    t.Failed("10.0.0.9", t0 + std::chrono::seconds(61));
    EXPECT_EQ(t.WaitSeconds("10.0.0.9", t0 + std::chrono::seconds(61)), 0);
    for (int i = 0; i < 4; ++i) t.Failed("10.0.0.7", t0);
    t.Succeeded("10.0.0.7");
    t.Failed("10.0.0.7", t0);
    EXPECT_EQ(t.WaitSeconds("10.0.0.7", t0), 0);
}

TEST(OperatorAccess, ByteRanges) {
    using R = TByteRange;
    const struct {
        const char* header;
        uint64_t size;
        R want;
    } cases[] = {
        {"", 1000, {R::kWhole, 0, 0}},
        {"bytes=0-", 1000, {R::kPart, 0, 999}},
        {"bytes=0-0", 1000, {R::kPart, 0, 0}},
        {"bytes=100-199", 1000, {R::kPart, 100, 199}},
        {"bytes=900-5000", 1000, {R::kPart, 900, 999}},
        {"bytes=-100", 1000, {R::kPart, 900, 999}},
        {"bytes=-5000", 1000, {R::kPart, 0, 999}},
        {"bytes=999-", 1000, {R::kPart, 999, 999}},
        {"bytes=1000-", 1000, {R::kUnsatisfiable, 0, 0}},
        {"bytes=5000-6000", 1000, {R::kUnsatisfiable, 0, 0}},
        {"bytes=-0", 1000, {R::kUnsatisfiable, 0, 0}},
        {"bytes=0-", 0, {R::kUnsatisfiable, 0, 0}},
        {"bytes=200-100", 1000, {R::kWhole, 0, 0}},
        {"bytes=0-1,5-6", 1000, {R::kWhole, 0, 0}},
        {"bytes=a-b", 1000, {R::kWhole, 0, 0}},
        {"bytes=-", 1000, {R::kWhole, 0, 0}},
        {"items=0-1", 1000, {R::kWhole, 0, 0}},
        {"bytes=99999999999999999999-", 1000, {R::kWhole, 0, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseByteRange(c.header, c.size), c.want) << c.header << " of " << c.size;
}

TEST(OperatorPages, HostileTextIsEscapedEverywhere) {
    const std::string evil = "<script>alert(\"x\")</script>&'";
    TUploadRow row{7, "2026-12-09T15:00:00Z", evil, evil, evil, evil, 3, 4500, 1, 2};
    TUploadQuery q;
    q.filter = evil;
    const std::vector<std::string> pages = {
        UploadsPage({row}, 1, q),
        UploadPage(row, {{evil, evil, true, 1000, evil, evil, "/take?id=7&name=" + UrlEscape(evil), ""}}, true),
        CoveragePage({{evil, evil, 1, 1}}, true),
        MessagePage(evil, evil),
    };
    for (const std::string& page : pages) {
        EXPECT_EQ(page.find("<script"), std::string::npos);
        EXPECT_EQ(page.find("alert(\""), std::string::npos);
        EXPECT_NE(page.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;"), std::string::npos);
        EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
    }
    EXPECT_NE(pages[1].find("src=\"/take?id=7&amp;name=%3Cscript%3E"), std::string::npos);
}

TEST(OperatorPages, QueryOrderAndCoverage) {
    const struct {
        const char* query;
        TUploadQuery::TKey key;
        bool descending;
        int64_t page;
        const char* filter;
    } cases[] = {
        {"", TUploadQuery::kTime, true, 1, ""},
        {"sort=speaker", TUploadQuery::kSpeaker, false, 1, ""},
        {"sort=takes", TUploadQuery::kTakes, true, 1, ""},
        {"sort=time&dir=asc&page=3", TUploadQuery::kTime, false, 3, ""},
        {"sort=nonsense&dir=sideways&page=-2", TUploadQuery::kTime, true, 1, ""},
        {"q=Zo%C3%AB+M&page=99999999999", TUploadQuery::kTime, true, 1, "Zo\xC3\xAB M"},
        {"q=%zz%4&sort=duplicates&dir=desc", TUploadQuery::kDuplicates, true, 1, "%zz%4"},
    };
    for (const auto& c : cases) {
        const TUploadQuery q = ParseUploadQuery(ParseQuery(c.query));
        EXPECT_EQ(q.key, c.key) << c.query;
        EXPECT_EQ(q.descending, c.descending) << c.query;
        EXPECT_EQ(q.page, c.page) << c.query;
        EXPECT_EQ(q.filter, c.filter) << c.query;
    }
    const std::string page = CoveragePage({{"Often", "a.wav", 3, 1}, {"Never", "b.wav", 0, 0}, {"Once", "c.wav", 1, 0},
                                           {"Nor this", "d.wav", 0, 0}},
                                          true);
    const size_t never = page.find("Never"), nor = page.find("Nor this"), often = page.find("Often");
    EXPECT_LT(never, nor);
    EXPECT_LT(nor, often);
    EXPECT_LT(often, page.find("Once"));
    for (const auto& [ms, text] : std::vector<std::pair<int64_t, std::string>>{
             {0, "0:00.0"}, {62500, "1:02.5"}, {3599999, "1:00:00.0"}, {-5, "0:00.0"}, {49, "0:00.0"}})
        EXPECT_EQ(FormatDuration(ms), text);
}

TEST(TakeAudio, WaveformColumnsAndSpeechOfAGeneratedTake) {
    // 1 s of 16-bit stereo at 8000 Hz: silence, then a 0.5-amplitude square
    // wave in the third quarter, then silence; the right channel inverted.
    testsupport::TScratchDir dir;
    const std::string path = dir / "t.wav";
    const uint32_t rate = 8000, frames = rate;
    std::vector<int16_t> pcm(frames * 2, 0);
    for (uint32_t i = rate / 2; i < rate * 3 / 4; ++i) {
        const int16_t v = (i / 20) % 2 ? 16384 : -16384;
        pcm[2 * i] = v;
        pcm[2 * i + 1] = int16_t(-v);
    }
    {
        std::ofstream f(path, std::ios::binary);
        const uint32_t data = frames * 4, riff = 36 + data, fmtSize = 16, byteRate = rate * 4;
        const uint16_t tag = 1, channels = 2, align = 4, bits = 16;
        f.write("RIFF", 4).write(reinterpret_cast<const char*>(&riff), 4).write("WAVEfmt ", 8);
        f.write(reinterpret_cast<const char*>(&fmtSize), 4).write(reinterpret_cast<const char*>(&tag), 2);
        f.write(reinterpret_cast<const char*>(&channels), 2).write(reinterpret_cast<const char*>(&rate), 4);
        f.write(reinterpret_cast<const char*>(&byteRate), 4).write(reinterpret_cast<const char*>(&align), 2);
        f.write(reinterpret_cast<const char*>(&bits), 2).write("data", 4).write(reinterpret_cast<const char*>(&data), 4);
        f.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
    }
    TTakeReader take(path);
    EXPECT_EQ(take.Frames(), frames);
    const auto cols = WaveformColumns(take, 8);
    ASSERT_EQ(cols.size(), 8u);
    for (size_t i = 0; i < cols.size(); ++i) {
        const bool loud = i == 4 || i == 5;
        EXPECT_FLOAT_EQ(cols[i].lo, loud ? -0.5f : 0.0f) << i;
        EXPECT_FLOAT_EQ(cols[i].hi, loud ? 0.5f : 0.0f) << i;
    }
    const std::string svg = WaveformSvg(cols, 400, 60);
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("M225.0 15.0V45.0"), std::string::npos) << svg;  // column 4: from +0.5 to -0.5

    const TSpeech speech = FindSpeech(take);
    ASSERT_TRUE(speech.found);
    EXPECT_NEAR(double(speech.span.begin), rate / 2, rate / 50.0);
    EXPECT_NEAR(double(speech.span.end), rate * 3 / 4, rate / 50.0);
    EXPECT_EQ(TrimmedSpan(speech, 800, frames), (TFrameSpan{speech.span.begin - 800, speech.span.end + 800}));
    EXPECT_EQ(TrimmedSpan(speech, 8000, frames), (TFrameSpan{0, frames}));
    EXPECT_EQ(TrimmedSpan(TSpeech{}, 800, frames), (TFrameSpan{0, frames}));

    // A file that is no WAVE image is refused with its name.
    std::ofstream(dir / "bad.wav") << "RIFF....not a wave";
    EXPECT_THROW(TTakeReader(dir / "bad.wav"), Exception);
}

TEST(Export, MetadataTextsAndSpeakerIds) {
    const struct {
        const char* caption;
        const char* field;       // as written, in metadata.csv
        const char* normalised;  // the third column's text
    } cases[] = {
        {"Good morning.", "Good morning.", "Good morning."},
        {"  It\u2019s \u201cten\u201d\tpast\n two ", "  It\u2019s \u201cten\u201d\tpast\n two ",
         "It's \"ten\" past two"},
        {"Left | right", "\"Left | right\"", "Left | right"},
        {"\u201eQuoted\u201c at 3.14", "\u201eQuoted\u201c at 3.14", "\"Quoted\" at 3.14"},
        {"\"Plain\" first", "\"\"\"Plain\"\" first\"", "\"Plain\" first"},
        {"\u00abGuillemets\u00bb and \u2018single\u2019", "\u00abGuillemets\u00bb and \u2018single\u2019",
         "\"Guillemets\" and 'single'"},
    };
    for (const auto& c : cases) {
        const bool breaks = std::string(c.caption).find_first_of("|\n") != std::string::npos;
        EXPECT_EQ(MetadataField(c.caption), breaks ? "\"" + std::string(c.caption) + "\"" : c.field) << c.caption;
        EXPECT_EQ(NormaliseCaption(c.caption), c.normalised) << c.caption;
    }
    // The same speaker typed otherwise has the same id; another has another.
    // The index's coverage counts speakers the same way.
    const struct {
        const char *name, *country, *region;
        bool same;
    } spellings[] = {
        {"Zo\u00eb M\u00fcller", "Germany", "Bayern", true},
        {"  ZO\u00cb   m\u00fcller ", "germany", "BAYERN", true},
        {"Zoe\u0308 Mu\u0308ller", "Germany", "Bayern", true},  // decomposed
        {"Zo\u00eb M\u00fcller", "Germany", "Hessen", false},
        {"Zo\u00eb", "M\u00fcller Germany", "Bayern", false},
    };
    const std::string zoe = collect::SpeakerIdOf(collect::SpeakerKey("Zo\u00eb M\u00fcller", "Germany", "Bayern"));
    EXPECT_EQ(zoe.size(), 8u);
    testsupport::TScratchDir d;
    const auto index = collect::OpenSqliteIndex(d / "index.sqlite");
    int n = 0;
    for (const auto& s : spellings) {
        EXPECT_EQ(collect::SpeakerIdOf(collect::SpeakerKey(s.name, s.country, s.region)) == zoe, s.same) << s.name;
        collect::TUploadRecord r;
        r.sha256 = std::to_string(++n);
        r.received = "2026-12-09T10:00:0" + std::to_string(n) + "Z";
        r.speaker.name = s.name;
        r.speaker.country = s.country;
        r.speaker.region = s.region;
        r.entries.resize(1);
        r.entries[0].name = "p001.wav";
        r.entries[0].take = true;
        ASSERT_TRUE(index->Add(r, 0, [] {}, [] {}));
    }
    EXPECT_EQ(index->Coverage()["p001.wav"].speakers, 3);
}

}  // namespace
}  // namespace orvant
