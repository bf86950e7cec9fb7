// Components with owners and published properties, string lists, a class registry, the
// component palette, and streaming of components to and from a readable text form.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace Framework {

class TComponent;

// Raised for a component name that is not an identifier or that its owner already holds, and
// for text that does not read back into components.
class EComponentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TStringList {
 public:
  int Add(const std::string& s);
  void Insert(int index, const std::string& s);
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& Strings(int index) const;
  void SetStrings(int index, const std::string& s);
  int IndexOf(const std::string& s) const;
  void Assign(const TStringList& source);
  // The lines, each followed by a line feed; SetText splits at LF, CR LF or CR.
  std::string Text() const;
  void SetText(const std::string& text);
  bool operator==(const TStringList& other) const { return lines_ == other.lines_; }

 private:
  std::vector<std::string> lines_;
};

enum class TPropKind { Integer, String, StringList };

// Type information of one published property.
struct TPropInfo {
  using IntegerGetter = std::function<int32_t(const TComponent&)>;
  using IntegerSetter = std::function<void(TComponent&, int32_t)>;
  using StringGetter = std::function<std::string(const TComponent&)>;
  using StringSetter = std::function<void(TComponent&, const std::string&)>;
  using ListGetter = std::function<const TStringList&(const TComponent&)>;
  using ListSetter = std::function<void(TComponent&, const TStringList&)>;

  static TPropInfo Integer(std::string name, IntegerGetter get, IntegerSetter set);
  static TPropInfo String(std::string name, StringGetter get, StringSetter set);
  static TPropInfo StringList(std::string name, ListGetter get, ListSetter set);

  std::string Name;
  TPropKind Kind = TPropKind::Integer;
  bool Stored = true;
  bool ReadOnly = false;  // a designer shows it and does not let it be edited
  bool Masked = false;    // a designer shows it masked (a password)
  IntegerGetter GetInteger;
  IntegerSetter SetInteger;
  StringGetter GetString;
  StringSetter SetString;
  ListGetter GetList;
  ListSetter SetList;
};

// A component class: its name, its parent class, the properties it publishes itself and the
// constructor that makes an instance with an owner.
class TComponentClass {
 public:
  TComponentClass(std::string className, const TComponentClass* parent,
                  std::vector<TPropInfo> ownProperties,
                  std::function<TComponent*(TComponent* owner)> create);
  const std::string& ClassName() const { return className_; }
  const TComponentClass* Parent() const { return parent_; }
  // Inherited properties first, in declaration order.
  std::vector<const TPropInfo*> PublishedProperties() const;
  const TPropInfo* FindProperty(const std::string& name) const;
  bool InheritsFrom(const TComponentClass& other) const;
  TComponent* Create(TComponent* owner) const { return create_(owner); }

 private:
  std::string className_;
  const TComponentClass* parent_;
  std::vector<TPropInfo> ownProperties_;
  std::function<TComponent*(TComponent*)> create_;
};

class TComponent {
 public:
  explicit TComponent(TComponent* AOwner);
  // Frees the owned components, last first, then leaves the owner.
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  static const TComponentClass& StaticClass();
  virtual const TComponentClass& ClassType() const { return StaticClass(); }
  const std::string& ClassName() const { return ClassType().ClassName(); }

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  TComponent* FindComponent(const std::string& name) const;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value);
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t value) { tag_ = value; }

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::string name_;
  int32_t tag_ = 0;
};

// The form a designer places components on: a component that owns them and publishes Name and
// Tag. Hosts register it (RegisterClass) to read forms back.
class TForm : public TComponent {
 public:
  using TComponent::TComponent;
  static const TComponentClass& StaticClass();
  const TComponentClass& ClassType() const override { return StaticClass(); }
};

// The name a designer gives a new component of the class on the owner: the class name without
// its leading T and the first number not taken ("IBQuery1", "IBQuery2", ...).
std::string NewComponentName(const TComponent& owner, const TComponentClass& componentClass);

// Classes that text forms can name.
void RegisterClass(const TComponentClass& componentClass);
void UnRegisterClass(const TComponentClass& componentClass);
const TComponentClass* FindClass(const std::string& className);

// The component palette: pages of component classes offered to a designer. Registering a
// component also registers its class.
void RegisterComponents(const std::string& page,
                        std::initializer_list<const TComponentClass*> classes);
void UnRegisterComponents(std::initializer_list<const TComponentClass*> classes);
std::vector<std::string> PalettePages();
std::vector<const TComponentClass*> PaletteClasses(const std::string& page);

// Text form of a component, its stored published properties and its owned components:
//   object Name: TClass
//     Property = value
//   end
std::string WriteComponentText(const TComponent& component);
// Makes a new component (and its owned ones) from a text form; classes are found by name.
TComponent* ReadComponentText(const std::string& text, TComponent* owner);

}  // namespace Framework
