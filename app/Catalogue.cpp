#include "app/Catalogue.h"

#include <algorithm>

#include <QDomDocument>
#include <QFile>

#include "platform/SysUtils.h"

namespace orvant {

namespace {

std::string NodeKind(const QDomNode& nd) {
    switch (nd.nodeType()) {
        case QDomNode::TextNode: return "text";
        case QDomNode::CDATASectionNode: return "CDATA section";
        case QDomNode::CommentNode: return "comment";
        case QDomNode::ProcessingInstructionNode: return "processing instruction";
        case QDomNode::EntityReferenceNode: return "entity reference";
        default: return "non-element node";
    }
}

// Walks the elements without recursion: a hostile catalogue nested a
// hundred thousand levels deep must not exhaust the stack.
void Collect(const QDomElement& root, std::vector<TCataloguePhrase>& out) {
    struct TAt {
        QDomNode node;
        int depth;
    };
    std::vector<TAt> todo{{root, 0}};
    while (!todo.empty()) {
        TAt at = todo.back();
        todo.pop_back();
        TCataloguePhrase p;
        p.caption = CaptionOf(at.node).toStdString();
        const QDomAttr wav = at.node.toElement().attributeNode("wav");
        p.hasWav = !wav.isNull();
        if (p.hasWav) p.wav = wav.value().toStdString();
        p.line = at.node.lineNumber();
        p.depth = at.depth;
        out.push_back(std::move(p));
        // Children go on the stack last first, so they come out in order.
        const size_t mark = todo.size();
        for (QDomNode child = at.node.firstChild(); !child.isNull(); child = child.nextSibling())
            todo.push_back({child, at.depth + 1});
        std::reverse(todo.begin() + std::ptrdiff_t(mark), todo.end());
    }
}

}  // namespace

bool TCataloguePhrase::TakeUsable() const { return hasWav && IsPlainFileName(wav) && !TakeFile().starts_with('.'); }

QString CaptionOf(const QDomNode& nd) {
    if (!nd.isElement())
        throw Exception("Catalogue line " + std::to_string(nd.lineNumber()) + ": a " + NodeKind(nd) +
                        " stands where only elements may; it has no attribute \"caption\".");
    const QDomAttr caption = nd.toElement().attributeNode("caption");
    if (caption.isNull())
        throw Exception("Catalogue line " + std::to_string(nd.lineNumber()) + ": element <" +
                        nd.toElement().tagName().toStdString() + "> has no attribute \"caption\".");
    return caption.value();
}

bool IsPlainFileName(const std::string& name) {
    return name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

std::vector<TCataloguePhrase> ReadCatalogueText(const QByteArray& xml, const std::string& name) {
    QDomDocument doc;
    QString error;
    int line = 0, column = 0;
    if (!doc.setContent(xml, false, &error, &line, &column))
        throw Exception("The catalogue \"" + name + "\" is not well-formed XML: " + error.toStdString() + " (line " +
                        std::to_string(line) + ", column " + std::to_string(column) + ").");
    const QDomElement root = doc.documentElement();
    if (root.isNull()) throw Exception("The catalogue \"" + name + "\" has no document element.");
    std::vector<TCataloguePhrase> phrases;
    try {
        Collect(root, phrases);
    } catch (const Exception& e) {
        throw Exception("The catalogue \"" + name + "\" is refused. " + e.what());
    }
    return phrases;
}

std::vector<TCataloguePhrase> ReadCatalogue(const std::string& path) {
    const QString qpath = QString::fromStdString(path);
    if (!FileExists(path))
        throw Exception("The catalogue \"" + path + "\" cannot be loaded: " +
                        (QFile::exists(qpath) ? "it is a folder." : "the file does not exist."));
    QFile file(qpath);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("The catalogue \"" + path + "\" cannot be loaded: " + file.errorString().toStdString());
    return ReadCatalogueText(file.readAll(), path);
}

std::map<std::string, const TCataloguePhrase*> PhrasesByTake(const std::vector<TCataloguePhrase>& phrases) {
    std::map<std::string, const TCataloguePhrase*> byTake;
    for (const TCataloguePhrase& p : phrases)
        if (p.TakeUsable()) byTake.emplace(p.TakeFile(), &p);
    return byTake;
}

}  // namespace orvant
