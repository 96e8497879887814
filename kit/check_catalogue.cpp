// orvant-check-catalogue: judges a catalogue the way the program reads it,
// with the program's own phrase records, before an operator hands it out.
//
// usage: orvant-check-catalogue PROGRAM            check, exit 1 on problems
//        orvant-check-catalogue --missing-samples PROGRAM
//
// PROGRAM is the path the program will have: the catalogue is PROGRAM with
// ".xml" as its extension, the samples lie in samples/ beside it. Unlike the
// program, which stops loading at the first bad node, every node is looked
// at, so that one run lists every problem:
//   - a node the program cannot load (an element without "caption", text,
//     a comment or a processing instruction where only elements may stand);
//   - a take name that is not a plain file name (it would leave recorded/),
//     or that begins with "." (such a take is never uploaded);
//   - two elements sharing one take file;
//   - a phrase whose reference sample is missing. Phrases are the elements
//     with a "wav" attribute and the elements without child elements;
//   - a reference sample that would not play: not a readable WAVE file, or
//     in a format the default output device cannot convert to a plain
//     16-bit device (the device layer's own answer, asked of a simulated
//     device, so the answer does not depend on this computer's sound).
// With --missing-samples the other problems go to standard error (exit 1
// when there are any) and standard output lists each phrase whose sample is
// missing as its sample's file name and its caption, each followed by a NUL
// byte, for a tool that makes the samples.
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/Catalogue.h"
#include "app/WavInfo.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/sim/SimWaveBackend.h"
#include "wave/WaveUtils.h"

using namespace orvant;

namespace {

// Why the sample at path would not play; empty when it plays.
std::string UnplayableSample(const std::string& path) {
    PWaveFormatEx wf = nullptr;
    uint32_t size = 0, offset = 0;
    bool parsed = false;
    try {
        TFileStream f(path, fmOpenRead | fmShareDenyWrite);
        parsed = ParseStreamWaveHeader(&f, wf, size, offset);
    } catch (const std::exception& e) {
        return std::string("it cannot be read: ") + e.what();
    }
    if (!parsed) return "it is not a readable WAVE file";
    const MMRESULT r = waveOutOpen(nullptr, WAVE_MAPPER, wf, 0, 0, WAVE_FORMAT_QUERY);
    char text[160];
    std::snprintf(text, sizeof text, "its format (format tag 0x%04X, %u channels, %u Hz, %u bits) cannot be played",
                  wf->wFormatTag, wf->nChannels, wf->nSamplesPerSec, wf->wBitsPerSample);
    FreeWaveFormat(wf);
    return r == MMSYSERR_NOERROR ? std::string() : text;
}

struct TCheck {
    std::string folder;  // program folder, with a trailing '/'
    std::vector<TCatalogueProblem> problems;  // all but the missing samples
    struct TMissing {
        std::string sample, caption, problem;
    };
    std::vector<TMissing> missing;
    std::map<std::string, int> takes;  // take file -> first line
    int elements = 0, phrases = 0;

    void Problem(int line, const std::string& text) {
        problems.push_back({line, "line " + std::to_string(line) + ": " + text});
    }

    // One element, judged with the program's own phrase record: the same
    // sample and take names the window would use.
    void Element(const TCataloguePhrase& p) {
        const TWavInfo r(p, elements++, folder);
        const int line = p.line;
        if (p.hasWav) {
            if (!r.recfileUsable)
                Problem(line, "the take name \"" + r.recfile +
                                  "\" is not a plain file name; it would leave the folder \"recorded\".");
            else if (r.recfile[0] == '.')
                Problem(line, "the take name \"" + r.recfile + "\" begins with \".\"; such a take is never uploaded.");
            else if (auto [it, fresh] = takes.emplace(r.recfile, line); !fresh)
                Problem(line, "the take \"" + r.recfile + "\" is shared with the element at line " +
                                  std::to_string(it->second) + "; one recording would replace the other.");
        }
        if (!p.hasWav && !p.leaf) return;
        ++phrases;
        if (!FileExists(SamplesFolder(folder) + r.samplefile)) {
            const std::string own = SampleNameFromCaption(p.caption);
            std::string looked = "samples/" + own;
            if (own != r.samplefile) looked += " or samples/" + r.samplefile;
            // Made samples take the caption's name, which the program looks
            // for first, unless it cannot be one file.
            missing.push_back({IsPlainFileName(own) ? own : r.samplefile, p.caption,
                               "line " + std::to_string(line) + ": the phrase \"" + p.caption +
                                   "\" has no reference sample (" + looked + ")."});
        } else if (const std::string why = UnplayableSample(SamplesFolder(folder) + r.samplefile); !why.empty()) {
            Problem(line, "the reference sample \"samples/" + r.samplefile + "\" of the phrase \"" + p.caption +
                              "\" would not play: " + why + ".");
        }
    }

    void Catalogue(const std::string& path) {
        TCatalogue c = LoadCatalogue(path, TCatalogueReading::ListEveryProblem);
        if (!c.refused.empty()) problems.push_back({0, c.refused});
        problems.insert(problems.end(), c.problems.begin(), c.problems.end());
        for (const TCataloguePhrase& p : c.phrases) Element(p);
        std::stable_sort(problems.begin(), problems.end(),
                         [](const TCatalogueProblem& a, const TCatalogueProblem& b) { return a.line < b.line; });
    }
};

int Usage() {
    std::fputs("usage: orvant-check-catalogue [--missing-samples] PROGRAM\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool listMissing = false;
    std::string program;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--missing-samples") listMissing = true;
        else if (program.empty() && !a.empty() && a[0] != '-') program = a;
        else return Usage();
    }
    if (program.empty()) return Usage();
    program = ExpandFileName(program);

    // The default output device's answer, for a plain 16-bit device.
    TWaveBackendInstall device(std::make_shared<TSimWaveBackend>());
    TCheck check;
    check.folder = ProgramFolder(program);
    const std::string path = CataloguePathFor(program);
    check.Catalogue(path);

    if (listMissing) {
        for (const TCatalogueProblem& p : check.problems) std::fprintf(stderr, "%s\n", p.text.c_str());
        for (const auto& m : check.missing) {
            std::fwrite(m.sample.c_str(), 1, m.sample.size() + 1, stdout);
            std::fwrite(m.caption.c_str(), 1, m.caption.size() + 1, stdout);
        }
        return check.problems.empty() ? 0 : 1;
    }
    for (const TCatalogueProblem& p : check.problems) std::printf("%s\n", p.text.c_str());
    for (const auto& m : check.missing) std::printf("%s\n", m.problem.c_str());
    const size_t count = check.problems.size() + check.missing.size();
    std::printf("%s: %d elements, %d phrases, %zu takes, %zu problems.\n", path.c_str(), check.elements,
                check.phrases, check.takes.size(), count);
    return count == 0 ? 0 : 1;
}
