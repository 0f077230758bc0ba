// CBoolValue: a one-flag value that classes hold as a member (a result flag, "the
// context exists", "credentials acquired"). The flag is false when constructed and its
// owner reads and sets m_Value directly. The type is polymorphic (virtual destructor)
// so owners may keep it behind a base pointer. It has no lock: the owner guards it.
#pragma once

class CBoolValue {
 public:
  CBoolValue() = default;
  CBoolValue(const CBoolValue&) = default;
  CBoolValue& operator=(const CBoolValue&) = default;
  virtual ~CBoolValue() = default;

  bool m_Value = false;
};
