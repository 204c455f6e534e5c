#include "record.h"

#include <algorithm>
#include <cctype>

namespace wendrel {
namespace {

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<std::string> Record::readString(const std::string& name, size_t capacity) const {
  const Value* value = find(name);
  if (!value || value->isNumber || value->text.size() + 1 > capacity)
    return std::nullopt;
  return value->text;
}

std::optional<uint32_t> Record::readUInt32(const std::string& name) const {
  const Value* value = find(name);
  if (!value || !value->isNumber)
    return std::nullopt;
  return value->number;
}

std::vector<std::string> Record::names() const {
  std::vector<std::string> result;
  for (const Value& value : values_)
    result.push_back(value.name);
  return result;
}

void Record::set(Value value) {
  for (Value& old : values_) {
    if (sameName(old.name, value.name)) {
      value.name = std::move(old.name);
      old = std::move(value);
      return;
    }
  }
  values_.push_back(std::move(value));
}

void Record::setString(const std::string& name, const std::string& text) {
  set(Value{name, false, text, 0, false});
}

void Record::setNumber(const std::string& name, uint32_t number, bool hex) {
  set(Value{name, true, {}, number, hex});
}

void Record::erase(const std::string& name) {
  values_.erase(std::remove_if(values_.begin(), values_.end(),
                               [&](const Value& v) { return sameName(v.name, name); }),
                values_.end());
}

const Record::Value* Record::find(const std::string& name) const {
  for (const Value& value : values_) {
    if (sameName(value.name, name))
      return &value;
  }
  return nullptr;
}

}  // namespace wendrel
