// The dataset export: the store's takes as a speech corpus in the LJSpeech
// layout (wavs/<speaker>_<take>.wav, metadata.csv "id|text|normalised text"),
// with speakers.csv and export.json beside it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace orvant {

struct TExportOptions {
    std::string store, catalogue, out;
    uint32_t rate = 0;  // 0: as recorded
    bool mono = false;
    bool trim = false;
    uint32_t trimMarginMs = 150;
    bool includeFlagged = false;
    bool names = false;  // fill the name column of speakers.csv
};

struct TExportCounts {
    size_t uploads = 0, speakers = 0, takes = 0, exported = 0, leftOut = 0;
    double seconds = 0;
};

// Writes the corpus into options.out (created when missing). Every file is
// written under a temporary name and renamed; metadata.csv, the list that
// names the corpus's files, comes last, after the takes are on disk. Takes
// are streamed: memory does not grow with their length. Raises Exception
// when the catalogue cannot be read or the output cannot be written; a take
// that cannot be exported is left out and listed in export.json.
TExportCounts ExportCorpus(const TExportOptions& options, std::ostream& log);

// "orvant-collect export ..." with the arguments after "export": returns the
// exit status (0 done, 1 failed, 2 usage).
int ExportCommand(int argc, char** argv);

// A caption normalised for training: whitespace collapsed and trimmed,
// typographic quotes and apostrophes made plain; numbers left as they are.
std::string NormaliseCaption(const std::string& caption);

// One field of metadata.csv: as it is, or in double quotes (inner quotes
// doubled) when it holds '|', a line break or begins with a quote, so that
// a reader with delimiter '|' and quote character '"' gets it back.
std::string MetadataField(const std::string& text);

}  // namespace orvant
