// The phrase catalogue read without a window: the XML file's elements in
// document order, each with its caption, its take name and where it stands,
// and the file-name rules of its samples and takes. The rules are the
// program's own: every node below the document element must be an element
// with a "caption"; a "wav" attribute names the element's take "<wav>.wav" in
// recorded/, usable only when it is a plain file name. The window, the
// speaker kit's checker and the collection server all read catalogues here.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <QDomNode>
#include <QString>

namespace orvant {

struct TCataloguePhrase {
    std::string caption;  // UTF-8, as written
    std::string wav;      // the "wav" attribute, empty when absent
    bool hasWav = false;
    int line = 0;     // line of the element in the file
    int depth = 0;    // 0 for the document element
    int parent = -1;  // index of the enclosing element in the list; -1 for the document element
    bool leaf = true;  // no element stands below it
    // The take's file name in recorded/ ("<wav>.wav"), empty without "wav".
    std::string TakeFile() const { return hasWav ? wav + ".wav" : std::string(); }
    // The take name may be used as a path inside recorded/: it has no
    // folders and is neither "." nor "..".
    bool TakePlain() const;
    // A take name that can stand as a file name and is uploaded: plain, and
    // no leading dot.
    bool TakeUsable() const;
    // The reference sample's file name in samplesFolder (with a trailing
    // '/'): the caption's name (SampleNameFromCaption) when that file exists;
    // otherwise the take's file name, when the take name is plain (a name
    // with folders could leave samples/); otherwise the caption's.
    std::string SampleFile(const std::string& samplesFolder) const;
};

// A node the program would refuse to load: its line, and why (naming it).
struct TCatalogueProblem {
    int line = 0;
    std::string text;
};

// What reading a catalogue found.
struct TCatalogue {
    // Why the file could not be read at all (missing, unreadable, not
    // well-formed, no document element); empty when it was.
    std::string refused;
    // The elements that can be loaded, in document order.
    std::vector<TCataloguePhrase> phrases;
    // Each node the program would refuse to load, in document order.
    std::vector<TCatalogueProblem> problems;
};

enum class TCatalogueReading {
    // Stops at the first node that cannot be loaded: the phrases before it
    // are kept, as the window shows them.
    StopAtFirstProblem,
    // Goes on past such nodes (an element without "caption" still gives
    // its children), so that one reading names every problem.
    ListEveryProblem,
};

TCatalogue LoadCatalogue(const std::string& path, TCatalogueReading how);
TCatalogue ParseCatalogue(const QByteArray& xml, const std::string& name, TCatalogueReading how);

// Every element of the catalogue at path. Raises Exception, naming the file
// and the line, when the file is missing or unreadable, not well-formed, has
// no document element, or holds a node the program would refuse to load.
std::vector<TCataloguePhrase> ReadCatalogue(const std::string& path);
// The same for catalogue text already in memory; name is used in messages.
std::vector<TCataloguePhrase> ReadCatalogueText(const QByteArray& xml, const std::string& name);

// The phrases with a usable take, by take file name ("p001.wav"). When two
// elements share one take the first one in the file names it.
std::map<std::string, const TCataloguePhrase*> PhrasesByTake(const std::vector<TCataloguePhrase>& phrases);

// The element's "caption". Raises Exception, naming the catalogue line, when
// nd is no element or has no such attribute.
QString CaptionOf(const QDomNode& nd);

// True when name can stand as one file name inside a folder: no '/' or '\',
// and neither "." nor "..".
bool IsPlainFileName(const std::string& name);

// The caption-derived sample name: the caption without " ", "!", ".", ","
// and "?", followed by ".wav".
std::string SampleNameFromCaption(const std::string& caption);

// The executable's path with its extension replaced by ".xml".
std::string CataloguePathFor(const std::string& programPath);

}  // namespace orvant
