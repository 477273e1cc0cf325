#pragma once

// A DASH MPD's XML as the manifests room reads it: from a server, so never
// reaching the network, loading a DTD or substituting entities, and tolerant
// of a manifest cut short at a size bound. Elements are matched by local name,
// so a prefixed <mpd:Period> counts too.

#include <libxml/tree.h>

#include <memory>
#include <string>

namespace zephyrscope {

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

// The document up to the text's last '>' (a manifest cut short ends inside a
// tag); null where nothing could be read. uri: the base of relative references.
XmlDocPtr ReadMpdXml(const std::string& text, const std::string& uri);
// An attribute's value; empty where the element has none.
std::string XmlAttribute(xmlNode* element, const char* name);
bool IsXmlElement(const xmlNode* node, const char* localName);

} // namespace zephyrscope
