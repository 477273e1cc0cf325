#include "MpdXml.h"

#include <libxml/parser.h>

#include <mutex>

namespace zephyrscope {

XmlDocPtr ReadMpdXml(const std::string& text, const std::string& uri)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    // No XML_PARSE_NOENT, no XML_PARSE_DTDLOAD; libxml2's own limits stop
    // entity amplification. RECOVER keeps what came before a cut.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_RECOVER;
    const std::size_t last = text.rfind('>');
    const std::size_t whole = last == std::string::npos ? 0 : last + 1;
    return XmlDocPtr(xmlReadMemory(text.data(), static_cast<int>(whole), uri.empty() ? nullptr : uri.c_str(), nullptr,
                                   options));
}

std::string XmlAttribute(xmlNode* element, const char* name)
{
    xmlChar* value = xmlGetNoNsProp(element, reinterpret_cast<const xmlChar*>(name));
    if (!value)
        return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

bool IsXmlElement(const xmlNode* node, const char* localName)
{
    return node && node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(localName));
}

} // namespace zephyrscope
