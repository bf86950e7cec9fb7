#include "framework/Classes.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "framework/SysUtils.h"

namespace Framework {

// ---- TStringList ----

namespace {

void CheckIndex(int index, size_t count) {
  if (index < 0 || static_cast<size_t>(index) >= count) {
    throw std::out_of_range("List index out of bounds (" + IntToStr(index) + ")");
  }
}

}  // namespace

int TStringList::Add(const std::string& s) {
  lines_.push_back(s);
  return Count() - 1;
}

void TStringList::Insert(int index, const std::string& s) {
  CheckIndex(index, lines_.size() + 1);
  lines_.insert(lines_.begin() + index, s);
}

void TStringList::Delete(int index) {
  CheckIndex(index, lines_.size());
  lines_.erase(lines_.begin() + index);
}

void TStringList::Clear() {
  lines_.clear();
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index, lines_.size());
  return lines_[static_cast<size_t>(index)];
}

void TStringList::SetStrings(int index, const std::string& s) {
  CheckIndex(index, lines_.size());
  lines_[static_cast<size_t>(index)] = s;
}

int TStringList::IndexOf(const std::string& s) const {
  auto it = std::find(lines_.begin(), lines_.end(), s);
  return it == lines_.end() ? -1 : static_cast<int>(it - lines_.begin());
}

void TStringList::Assign(const TStringList& source) {
  if (&source != this) lines_ = source.lines_;
}

std::string TStringList::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

void TStringList::SetText(const std::string& text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines_.push_back(text.substr(start));
      break;
    }
    lines_.push_back(text.substr(start, end - start));
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
}

// ---- classes and components ----

TPropInfo TPropInfo::Integer(std::string name, IntegerGetter get, IntegerSetter set) {
  TPropInfo p;
  p.Name = std::move(name);
  p.Kind = TPropKind::Integer;
  p.GetInteger = std::move(get);
  p.SetInteger = std::move(set);
  return p;
}

TPropInfo TPropInfo::String(std::string name, StringGetter get, StringSetter set) {
  TPropInfo p;
  p.Name = std::move(name);
  p.Kind = TPropKind::String;
  p.GetString = std::move(get);
  p.SetString = std::move(set);
  return p;
}

TPropInfo TPropInfo::StringList(std::string name, ListGetter get, ListSetter set) {
  TPropInfo p;
  p.Name = std::move(name);
  p.Kind = TPropKind::StringList;
  p.GetList = std::move(get);
  p.SetList = std::move(set);
  return p;
}

TComponentClass::TComponentClass(std::string className, const TComponentClass* parent,
                                 std::vector<TPropInfo> ownProperties,
                                 std::function<TComponent*(TComponent* owner)> create)
    : className_(std::move(className)),
      parent_(parent),
      ownProperties_(std::move(ownProperties)),
      create_(std::move(create)) {}

std::vector<const TPropInfo*> TComponentClass::PublishedProperties() const {
  std::vector<const TPropInfo*> props =
      parent_ != nullptr ? parent_->PublishedProperties() : std::vector<const TPropInfo*>{};
  for (const TPropInfo& p : ownProperties_) props.push_back(&p);
  return props;
}

const TPropInfo* TComponentClass::FindProperty(const std::string& name) const {
  for (const TComponentClass* c = this; c != nullptr; c = c->parent_) {
    for (const TPropInfo& p : c->ownProperties_) {
      if (strcasecmp(p.Name.c_str(), name.c_str()) == 0) return &p;
    }
  }
  return nullptr;
}

bool TComponentClass::InheritsFrom(const TComponentClass& other) const {
  for (const TComponentClass* c = this; c != nullptr; c = c->parent_) {
    if (c == &other) return true;
  }
  return false;
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

const TComponentClass& TComponent::StaticClass() {
  static const TComponentClass cls(
      "TComponent", nullptr,
      {
          TPropInfo::String(
              "Name", [](const TComponent& c) { return c.Name(); },
              [](TComponent& c, const std::string& v) { c.SetName(v); }),
          TPropInfo::Integer(
              "Tag", [](const TComponent& c) { return c.Tag(); },
              [](TComponent& c, int32_t v) { c.SetTag(v); }),
      },
      [](TComponent* owner) { return new TComponent(owner); });
  return cls;
}

const TComponentClass& TForm::StaticClass() {
  static const TComponentClass cls("TForm", &TComponent::StaticClass(), {},
                                   [](TComponent* owner) { return new TForm(owner); });
  return cls;
}

std::string NewComponentName(const TComponent& owner, const TComponentClass& componentClass) {
  std::string base = componentClass.ClassName();
  if (base.size() > 1 && (base[0] == 'T' || base[0] == 't')) base.erase(0, 1);
  for (int n = 1;; ++n) {
    std::string name = base + IntToStr(n);
    if (owner.FindComponent(name) == nullptr) return name;
  }
}

void TComponent::InsertComponent(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it != components_.end()) components_.erase(it);
  component->owner_ = nullptr;
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_) {
    if (strcasecmp(c->Name().c_str(), name.c_str()) == 0) return c;
  }
  return nullptr;
}

namespace {

bool IsIdentStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsIdentChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool IsIdentifier(const std::string& s) {
  return !s.empty() && IsIdentStart(s[0]) && std::all_of(s.begin(), s.end(), IsIdentChar);
}

}  // namespace

void TComponent::SetName(const std::string& value) {
  if (value == name_) return;
  if (!value.empty() && !IsIdentifier(value)) {
    throw EComponentError("'" + value + "' is not a valid component name");
  }
  if (owner_ != nullptr) {
    TComponent* other = owner_->FindComponent(value);
    if (other != nullptr && other != this) {
      throw EComponentError("A component named " + value + " already exists");
    }
  }
  name_ = value;
}

// ---- registries ----

namespace {

// Registries of the designer, which packages may fill from any thread.
std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, const TComponentClass*>& ClassRegistry() {
  static std::map<std::string, const TComponentClass*> registry;
  return registry;
}

std::vector<std::pair<std::string, std::vector<const TComponentClass*>>>& Palette() {
  static std::vector<std::pair<std::string, std::vector<const TComponentClass*>>> palette;
  return palette;
}

void AddClass(const TComponentClass& componentClass) {
  ClassRegistry()[componentClass.ClassName()] = &componentClass;
}

void RemoveClass(const TComponentClass& componentClass) {
  auto it = ClassRegistry().find(componentClass.ClassName());
  if (it != ClassRegistry().end() && it->second == &componentClass) ClassRegistry().erase(it);
}

}  // namespace

void RegisterClass(const TComponentClass& componentClass) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  AddClass(componentClass);
}

void UnRegisterClass(const TComponentClass& componentClass) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  RemoveClass(componentClass);
}

const TComponentClass* FindClass(const std::string& className) {
  if (className == TComponent::StaticClass().ClassName()) return &TComponent::StaticClass();
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = ClassRegistry().find(className);
  return it != ClassRegistry().end() ? it->second : nullptr;
}

void RegisterComponents(const std::string& page,
                        std::initializer_list<const TComponentClass*> classes) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto& palette = Palette();
  auto it = std::find_if(palette.begin(), palette.end(),
                         [&](const auto& entry) { return entry.first == page; });
  if (it == palette.end()) it = palette.insert(palette.end(), {page, {}});
  for (const TComponentClass* c : classes) {
    AddClass(*c);
    if (std::find(it->second.begin(), it->second.end(), c) == it->second.end()) {
      it->second.push_back(c);
    }
  }
}

void UnRegisterComponents(std::initializer_list<const TComponentClass*> classes) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto& palette = Palette();
  for (const TComponentClass* c : classes) {
    RemoveClass(*c);
    for (auto& entry : palette) {
      auto& list = entry.second;
      list.erase(std::remove(list.begin(), list.end(), c), list.end());
    }
  }
  palette.erase(std::remove_if(palette.begin(), palette.end(),
                               [](const auto& entry) { return entry.second.empty(); }),
                palette.end());
}

std::vector<std::string> PalettePages() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  std::vector<std::string> pages;
  for (const auto& entry : Palette()) pages.push_back(entry.first);
  return pages;
}

std::vector<const TComponentClass*> PaletteClasses(const std::string& page) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  for (const auto& entry : Palette()) {
    if (entry.first == page) return entry.second;
  }
  return {};
}

// ---- streaming ----

namespace {

// 'text' with '' for a quote; bytes outside printable ASCII as #code between quoted runs.
std::string Quote(const std::string& s) {
  if (s.empty()) return "''";
  std::string out;
  bool open = false;
  for (char ch : s) {
    auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 && byte < 0x7F) {
      if (!open) out += '\'';
      open = true;
      out += ch;
      if (ch == '\'') out += '\'';
    } else {
      if (open) out += '\'';
      open = false;
      out += '#' + IntToStr(byte);
    }
  }
  if (open) out += '\'';
  return out;
}

void WriteObject(std::string& out, const TComponent& component, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  const std::string inner = indent + "  ";
  out += indent + "object ";
  if (!component.Name().empty()) out += component.Name() + ": ";
  out += component.ClassName() + "\n";
  for (const TPropInfo* prop : component.ClassType().PublishedProperties()) {
    if (!prop->Stored || prop->Name == "Name") continue;
    switch (prop->Kind) {
      case TPropKind::Integer:
        out += inner + prop->Name + " = " + IntToStr(prop->GetInteger(component)) + "\n";
        break;
      case TPropKind::String:
        out += inner + prop->Name + " = " + Quote(prop->GetString(component)) + "\n";
        break;
      case TPropKind::StringList: {
        const TStringList& list = prop->GetList(component);
        out += inner + prop->Name + ".Strings = (";
        for (int i = 0; i < list.Count(); ++i) out += "\n" + inner + "  " + Quote(list.Strings(i));
        out += ")\n";
        break;
      }
    }
  }
  for (int i = 0; i < component.ComponentCount(); ++i) {
    WriteObject(out, *component.Components(i), depth + 1);
  }
  out += indent + "end\n";
}

enum class Tok { Ident, Integer, String, Symbol, End };

struct Token {
  Tok kind;
  std::string text;
  int line;
};

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) { Next(); }

  TComponent* ReadObject(TComponent* owner) {
    ExpectKeyword("object");
    std::string first = TakeIdent();
    std::string name;
    std::string className = first;
    if (IsSymbol(":")) {
      Next();
      name = first;
      className = TakeIdent();
    }
    const TComponentClass* cls = FindClass(className);
    if (cls == nullptr) Fail("class " + className + " not found");
    std::unique_ptr<TComponent> component(cls->Create(owner));
    component->SetName(name);
    for (;;) {
      if (IsKeyword("end")) {
        Next();
        return component.release();
      }
      if (IsKeyword("object")) {
        ReadObject(component.get());
        continue;
      }
      ReadProperty(*component);
    }
  }

  void ExpectEnd() {
    if (token_.kind != Tok::End) Fail("text after the last end");
  }

 private:
  void ReadProperty(TComponent& component) {
    std::string name = TakeIdent();
    bool strings = false;
    if (name.size() > 8 && strcasecmp(name.c_str() + name.size() - 8, ".Strings") == 0) {
      strings = true;
      name.resize(name.size() - 8);
    }
    const TPropInfo* prop = component.ClassType().FindProperty(name);
    if (prop == nullptr || (prop->Kind == TPropKind::StringList) != strings) {
      Fail("property " + name + " does not exist");
    }
    if (!IsSymbol("=")) Fail("'=' expected");
    Next();
    switch (prop->Kind) {
      case TPropKind::Integer:
        prop->SetInteger(component, TakeInteger());
        break;
      case TPropKind::String:
        prop->SetString(component, TakeString());
        break;
      case TPropKind::StringList: {
        if (!IsSymbol("(")) Fail("'(' expected");
        Next();
        TStringList list;
        while (!IsSymbol(")")) list.Add(TakeString());
        Next();
        prop->SetList(component, list);
        break;
      }
    }
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw EComponentError("Line " + IntToStr(token_.line) + ": " + what);
  }

  bool IsKeyword(const char* word) const {
    return token_.kind == Tok::Ident && strcasecmp(token_.text.c_str(), word) == 0;
  }
  bool IsSymbol(const char* symbol) const {
    return token_.kind == Tok::Symbol && token_.text == symbol;
  }
  void ExpectKeyword(const char* word) {
    if (!IsKeyword(word)) Fail(std::string("'") + word + "' expected");
    Next();
  }
  std::string TakeIdent() {
    if (token_.kind != Tok::Ident) Fail("identifier expected");
    std::string s = token_.text;
    Next();
    return s;
  }
  int32_t TakeInteger() {
    if (token_.kind != Tok::Integer) Fail("integer expected");
    int32_t value;
    try {
      value = StrToInt(token_.text);
    } catch (const EConvertError&) {
      Fail("integer out of range");
    }
    Next();
    return value;
  }
  std::string TakeString() {
    if (token_.kind != Tok::String) Fail("string expected");
    std::string s = token_.text;
    Next();
    return s;
  }

  void Next() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
    token_ = Token{Tok::End, {}, line_};
    if (pos_ >= text_.size()) return;
    const char c = text_[pos_];
    if (IsIdentStart(c)) {
      size_t start = pos_;
      while (pos_ < text_.size() && (IsIdentChar(text_[pos_]) || text_[pos_] == '.')) ++pos_;
      token_ = Token{Tok::Ident, text_.substr(start, pos_ - start), line_};
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
      size_t start = pos_++;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      token_ = Token{Tok::Integer, text_.substr(start, pos_ - start), line_};
    } else if (c == '\'' || c == '#') {
      token_ = Token{Tok::String, ReadStringLiteral(), line_};
    } else {
      ++pos_;
      token_ = Token{Tok::Symbol, std::string(1, c), line_};
    }
  }

  // Quoted runs and #code characters, side by side.
  std::string ReadStringLiteral() {
    std::string value;
    while (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '#')) {
      if (text_[pos_] == '#') {
        size_t start = ++pos_;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        int code =
            pos_ > start && pos_ - start <= 3 ? std::stoi(text_.substr(start, pos_ - start)) : -1;
        if (code < 0 || code > 255) Fail("bad character code");
        value += static_cast<char>(code);
        continue;
      }
      for (++pos_;; ++pos_) {
        if (pos_ >= text_.size() || text_[pos_] == '\n') Fail("unterminated string");
        if (text_[pos_] == '\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
            value += '\'';
            ++pos_;
            continue;
          }
          ++pos_;
          break;
        }
        value += text_[pos_];
      }
    }
    return value;
  }

  const std::string& text_;
  size_t pos_ = 0;
  int line_ = 1;
  Token token_{Tok::End, {}, 1};
};

}  // namespace

std::string WriteComponentText(const TComponent& component) {
  std::string out;
  WriteObject(out, component, 0);
  return out;
}

TComponent* ReadComponentText(const std::string& text, TComponent* owner) {
  Reader reader(text);
  std::unique_ptr<TComponent> component(reader.ReadObject(owner));
  reader.ExpectEnd();
  return component.release();
}

}  // namespace Framework
