// The phrase record TWavInfo of each tree node, with the rule that names a
// phrase's reference sample and take, and the one place where a tree node
// stores and gives back its record.
#pragma once

#include <string>

#include <QDomNode>
#include <QString>

#include "app/Catalogue.h"  // CaptionOf, IsPlainFileName

class QModelIndex;
class QTreeWidgetItem;

namespace orvant {

// Phrase record of one tree node: the file names of its reference sample
// (below samples/) and of its own take (in recorded/).
class TWavInfo {
public:
    // Builds the record for catalogue element nd, looking for the sample in
    // SamplesFolder(programFolder), and attaches it to tn as the node's data.
    // Raises Exception when nd is not an element or has no "caption".
    TWavInfo(QTreeWidgetItem* tn, const QDomNode& nd, const std::string& programFolder);
    // The same for an element whose caption has been read already.
    TWavInfo(QTreeWidgetItem* tn, const QDomElement& nd, const QString& caption, const std::string& programFolder);
    TWavInfo(const TWavInfo&) = delete;
    TWavInfo& operator=(const TWavInfo&) = delete;

    std::string samplefile;
    std::string recfile;  // empty when the element has no "wav" attribute
    // False when the "wav" value is not a plain file name (it holds a path
    // delimiter or is "." or ".."): such a take name is never used as a path.
    bool recfileUsable = true;
};

// A new tree node showing caption, made to carry a record at little cost:
// catalogues of thousands of phrases build one per element.
QTreeWidgetItem* NewPhraseNode(const QString& caption);

// The record attached to a tree node (or to the node behind a tree model
// index), or nullptr.
TWavInfo* WavInfoOf(const QTreeWidgetItem* item);
const TWavInfo* WavInfoOf(const QModelIndex& node);

// The caption-derived sample name: the caption without " ", "!", ".", ","
// and "?", followed by ".wav".
std::string SampleNameFromCaption(const std::string& caption);

// The executable's path with its extension replaced by ".xml".
std::string CataloguePathFor(const std::string& programPath);

}  // namespace orvant
