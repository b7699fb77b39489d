#include "SoapRequest.h"

#include <pugixml.hpp>

#include <string>

namespace {

// A body of 64 kB could otherwise hold thousands of elements; no operation a recorder calls has
// more than a few dozen values.
constexpr std::size_t kMaxArguments = 256;

// pugixml takes any number of colons into a name; the prefix is what stands before the last one.
std::string_view LocalName(std::string_view name) {
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view LocalName(const pugi::xml_node& node) { return LocalName(node.name()); }

pugi::xml_node Child(const pugi::xml_node& parent, std::string_view localName) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && LocalName(child) == localName) return child;
  }
  return {};
}

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The element's own text: its character data and CDATA sections, without those of its children.
std::string OwnText(const pugi::xml_node& element) {
  std::string text;
  for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
      text += child.value();
  }
  return std::string(Trimmed(text));
}

// The URI bound to the element's prefix by the nearest declaration around it.
std::string NamespaceOf(const pugi::xml_node& element) {
  const std::string_view name = element.name();
  const std::size_t colon = name.rfind(':');
  const std::string declaration =
      colon == std::string_view::npos ? "xmlns" : "xmlns:" + std::string(name.substr(0, colon));
  for (pugi::xml_node node = element; node.type() == pugi::node_element; node = node.parent()) {
    if (const pugi::xml_attribute uri = node.attribute(declaration.c_str())) return uri.value();
  }
  return {};
}

TUsernameToken ReadToken(const pugi::xml_node& element) {
  TUsernameToken token;
  token.username = OwnText(Child(element, "Username"));
  token.nonce = OwnText(Child(element, "Nonce"));
  token.created = OwnText(Child(element, "Created"));
  const pugi::xml_node password = Child(element, "Password");
  token.password = OwnText(password);
  // Without a Type the password is in clear. A type other than the two known ones is checked as a
  // digest, which only the password's owner can make.
  token.passwordIsText = true;
  for (const pugi::xml_attribute attribute : password.attributes()) {
    if (LocalName(attribute.name()) != "Type") continue;
    token.passwordIsText = std::string_view(attribute.value()).ends_with("#PasswordText");
    break;
  }
  return token;
}

std::optional<TUsernameToken> FindToken(const pugi::xml_node& envelope) {
  const pugi::xml_node token =
      Child(Child(Child(envelope, "Header"), "Security"), "UsernameToken");
  if (!token) return std::nullopt;
  return ReadToken(token);
}

// Every element below the operation that holds text, in document order, walked without recursion
// so that deep nesting cannot exhaust the stack.
void ReadArguments(const pugi::xml_node& operation, TSoapRequest& request) {
  pugi::xml_node node = operation.first_child();
  while (node && node != operation && request.arguments.size() < kMaxArguments) {
    if (node.type() == pugi::node_element) {
      const std::string_view name = LocalName(node);
      std::string text = OwnText(node);
      if (!name.empty() && !text.empty()) request.arguments.emplace_back(name, std::move(text));
      if (node.first_child()) {
        node = node.first_child();
        continue;
      }
    }
    while (node != operation && !node.next_sibling()) node = node.parent();
    if (node != operation) node = node.next_sibling();
  }
}

bool Refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

// The document's elements and text; false with the reason when it is not one this service reads.
bool Load(std::string_view body, pugi::xml_document& document, std::string* why) {
  if (body.empty()) return Refuse(why, "the request body is empty");
  if (body.size() > kMaxSoapBody) {
    return Refuse(why, "the request body has " + std::to_string(body.size()) +
                           " bytes, more than the " + std::to_string(kMaxSoapBody) + " read");
  }
  // pugixml expands only the five predefined and the numeric entities and never fetches anything;
  // the document type is kept only to refuse it, since no client needs one.
  const pugi::xml_parse_result parsed =
      document.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_doctype);
  if (!parsed) {
    return Refuse(why, std::string("the request body is not XML: ") + parsed.description() +
                           " at byte " + std::to_string(parsed.offset));
  }
  for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
    if (node.type() == pugi::node_doctype)
      return Refuse(why, "the request body declares a document type");
  }
  return true;
}

}  // namespace

std::string TSoapRequest::Argument(std::string_view localName) const {
  for (const auto& [name, text] : arguments) {
    if (name == localName) return text;
  }
  return {};
}

std::optional<TSoapRequest> ParseSoapRequest(std::string_view body, std::string* why) {
  pugi::xml_document document;
  if (!Load(body, document, why)) return std::nullopt;
  const pugi::xml_node envelope = document.document_element();
  if (!envelope || LocalName(envelope) != "Envelope") {
    Refuse(why, "the request body is not a SOAP envelope");
    return std::nullopt;
  }
  const pugi::xml_node soapBody = Child(envelope, "Body");
  if (!soapBody) {
    Refuse(why, "the SOAP envelope has no Body");
    return std::nullopt;
  }
  const pugi::xml_node operation = soapBody.find_child(
      [](const pugi::xml_node& child) { return child.type() == pugi::node_element; });
  if (!operation || LocalName(operation).empty()) {
    Refuse(why, "the SOAP Body names no operation");
    return std::nullopt;
  }
  TSoapRequest request;
  request.operation = std::string(LocalName(operation));
  request.operationNamespace = NamespaceOf(operation);
  request.token = FindToken(envelope);
  ReadArguments(operation, request);
  return request;
}
