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
void Collect(const QDomElement& root, TCatalogueReading how, TCatalogue& out) {
    struct TAt {
        QDomNode node;
        int depth;
        int parent;
    };
    std::vector<TAt> todo{{root, 0, -1}};
    while (!todo.empty()) {
        TAt at = todo.back();
        todo.pop_back();
        int parent = at.parent;
        try {
            TCataloguePhrase p;
            p.caption = CaptionOf(at.node).toStdString();
            QDomElement element = at.node.toElement();
            const QDomAttr wav = element.attributeNode("wav");
            p.hasWav = !wav.isNull();
            if (p.hasWav) p.wav = wav.value().toStdString();
            p.line = at.node.lineNumber();
            p.depth = at.depth;
            p.parent = at.parent;
            p.leaf = element.firstChildElement().isNull();
            parent = int(out.phrases.size());
            out.phrases.push_back(std::move(p));
        } catch (const Exception& e) {
            out.problems.push_back({at.node.lineNumber(), e.what()});
            if (how == TCatalogueReading::StopAtFirstProblem) return;
            if (!at.node.isElement()) continue;
        }
        // Children go on the stack last first, so they come out in order.
        const size_t mark = todo.size();
        for (QDomNode child = at.node.firstChild(); !child.isNull(); child = child.nextSibling())
            todo.push_back({child, at.depth + 1, parent});
        std::reverse(todo.begin() + std::ptrdiff_t(mark), todo.end());
    }
}

}  // namespace

bool TCataloguePhrase::TakePlain() const { return hasWav && IsPlainFileName(wav); }

bool TCataloguePhrase::TakeUsable() const { return TakePlain() && !TakeFile().starts_with('.'); }

std::string TCataloguePhrase::SampleFile(const std::string& samplesFolder) const {
    const std::string own = SampleNameFromCaption(caption);
    return TakePlain() && !FileExists(samplesFolder + own) ? TakeFile() : own;
}

std::string SampleNameFromCaption(const std::string& caption) {
    std::string s;
    s.reserve(caption.size() + 4);
    for (char ch : caption)
        if (ch != ' ' && ch != '!' && ch != '.' && ch != ',' && ch != '?') s += ch;
    return s + ".wav";
}

std::string CataloguePathFor(const std::string& programPath) {
    const size_t slash = programPath.rfind('/');
    const size_t dot = programPath.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return programPath.substr(0, dot) + ".xml";
    return programPath + ".xml";
}

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

TCatalogue ParseCatalogue(const QByteArray& xml, const std::string& name, TCatalogueReading how) {
    TCatalogue c;
    QDomDocument doc;
    QString error;
    int line = 0, column = 0;
    if (!doc.setContent(xml, false, &error, &line, &column)) {
        c.refused = "The catalogue \"" + name + "\" is not well-formed XML: " + error.toStdString() + " (line " +
                    std::to_string(line) + ", column " + std::to_string(column) + ").";
        return c;
    }
    const QDomElement root = doc.documentElement();
    if (root.isNull())
        c.refused = "The catalogue \"" + name + "\" has no document element.";
    else
        Collect(root, how, c);
    return c;
}

TCatalogue LoadCatalogue(const std::string& path, TCatalogueReading how) {
    const QString qpath = QString::fromStdString(path);
    if (!FileExists(path))
        return {"The catalogue \"" + path + "\" cannot be loaded: " +
                    (QFile::exists(qpath) ? "it is a folder." : "the file does not exist."),
                {}, {}};
    QFile file(qpath);
    if (!file.open(QIODevice::ReadOnly))
        return {"The catalogue \"" + path + "\" cannot be loaded: " + file.errorString().toStdString(), {}, {}};
    return ParseCatalogue(file.readAll(), path, how);
}

namespace {

std::vector<TCataloguePhrase> Accepted(TCatalogue c, const std::string& name) {
    if (!c.refused.empty()) throw Exception(c.refused);
    if (!c.problems.empty()) throw Exception("The catalogue \"" + name + "\" is refused. " + c.problems.front().text);
    return std::move(c.phrases);
}

}  // namespace

std::vector<TCataloguePhrase> ReadCatalogueText(const QByteArray& xml, const std::string& name) {
    return Accepted(ParseCatalogue(xml, name, TCatalogueReading::StopAtFirstProblem), name);
}

std::vector<TCataloguePhrase> ReadCatalogue(const std::string& path) {
    return Accepted(LoadCatalogue(path, TCatalogueReading::StopAtFirstProblem), path);
}

std::map<std::string, const TCataloguePhrase*> PhrasesByTake(const std::vector<TCataloguePhrase>& phrases) {
    std::map<std::string, const TCataloguePhrase*> byTake;
    for (const TCataloguePhrase& p : phrases)
        if (p.TakeUsable()) byTake.emplace(p.TakeFile(), &p);
    return byTake;
}

}  // namespace orvant
