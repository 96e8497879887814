// The phrase catalogue read without a window: the XML file's elements in
// document order, each with its caption, its take name and where it stands.
// The rules are the program's own: every node below the document element must
// be an element with a "caption"; a "wav" attribute names the element's take
// "<wav>.wav" in recorded/, usable only when it is a plain file name.
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
    int line = 0;   // line of the element in the file
    int depth = 0;  // 0 for the document element
    // The take's file name in recorded/ ("<wav>.wav"), empty without "wav".
    std::string TakeFile() const { return hasWav ? wav + ".wav" : std::string(); }
    // A take name that can stand as a file name: no folders, no leading dot.
    bool TakeUsable() const;
};

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

}  // namespace orvant
