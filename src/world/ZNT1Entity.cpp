#include "world/ZNT1Entity.h"

#include <cmath>

#include "core/ZefuStringToDouble.h"

namespace {

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

float ToFloat(const std::string& s) {
  bool OK = false;
  const double d = ZefuConvertStringToDouble(s, zstod_ROUND_TO_NEAREST, &OK, -1);
  if (!OK || std::isnan(d)) return 0.0f;
  return static_cast<float>(d);
}

}  // namespace

void TZNT1Entity::Add(const std::string& Name, const std::string& Value) {
  Names.Add(Name);
  Values.Add(Value);
}

int32_t TZNT1Entity::IndexOfName(const std::string& Name) const {
  for (int32_t i = 0; i < Names.Count(); ++i)
    if (SameText(Names[i], Name)) return i;
  return -1;
}

bool TZNT1Entity::Exist(const std::string& Name) const { return IndexOfName(Name) >= 0; }

std::string TZNT1Entity::GetString(const std::string& Name) const {
  const int32_t i = IndexOfName(Name);
  return (i >= 0 && i < Values.Count()) ? Values[i] : std::string();
}

float TZNT1Entity::GetFloat(const std::string& Name) const {
  if (!Exist(Name)) return 0.0f;
  return ToFloat(GetString(Name));
}

int32_t TZNT1Entity::GetInteger(const std::string& Name, int32_t Default) const {
  if (!Exist(Name)) return Default;
  std::string s = GetString(Name);
  size_t p = 0;
  while (p < s.size() && s[p] == '*') ++p;
  s.erase(0, p);
  // Surrounding blanks are tolerated, as the number reader of the console does.
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  s = s.substr(b, e - b);
  bool Negative = false;
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    Negative = s[i] == '-';
    ++i;
  }
  int Base = 10;
  if (i < s.size() && s[i] == '$') {
    Base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    Base = 16;
    i += 2;
  }
  if (i >= s.size()) return Default;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (Base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (Base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return Default;
    v = v * Base + d;
    // Hexadecimal may name the full 32 bits; decimal must fit the signed range.
    if (v > (Base == 16 ? int64_t(0xFFFFFFFF) : int64_t(0x80000000))) return Default;
  }
  if (Negative) v = -v;
  if (Base == 10 && (v > INT32_MAX || v < INT32_MIN)) return Default;
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

TZNT1Vector3 TZNT1Entity::ParseVector(const std::string& Name, bool TabSeparates) const {
  const std::string s = GetString(Name);
  std::string c[3];
  int j = 0;
  for (char ch : s) {
    if (ch == ' ' || (TabSeparates && ch == '\t')) {
      ++j;
    } else if (j < 3) {
      c[j] += ch;
    } else {
      ++j;
    }
  }
  return Vector3(ToFloat(c[0]), ToFloat(c[1]), ToFloat(c[2]));
}

TZNT1Vector3 TZNT1Entity::GetVector(const std::string& Name) const { return ParseVector(Name, true); }
TZNT1Vector3 TZNT1Entity::GetRGB(const std::string& Name) const { return ParseVector(Name, false); }

bool TZNT1Entity::HasField(const std::string& Name, const std::string& Value) const {
  const int32_t n = IndexOfName(Name);
  if (n < 0) return false;
  for (int32_t i = 0; i < Values.Count(); ++i)
    if (SameText(Values[i], Value)) return i == n;
  return false;
}

void TZNT1Entities::Clear() {
  if (!SubList)
    for (TZNT1Entity* e : Items) delete e;
  Items.clear();
}

TZNT1Entity* TZNT1Entities::GetEntity(int32_t Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return Items[static_cast<size_t>(Index)];
}

void TZNT1Entities::SetEntity(int32_t Index, TZNT1Entity* Entity) {
  if (Index < 0 || Index >= Count()) return;
  Items[static_cast<size_t>(Index)] = Entity;
}

std::unique_ptr<TZNT1Entities> TZNT1Entities::GetEntities(const std::string& Name, const std::string& Value) const {
  auto Result = std::make_unique<TZNT1Entities>(true);
  for (TZNT1Entity* e : Items)
    if (e && e->HasField(Name, Value)) Result->Add(e);
  return Result;
}

void ParseEntities(TZNT1Entities& Entities, const std::string& Source) {
  constexpr int kTokens = 256;
  std::vector<std::string> Tokens(kTokens + 1);
  int q = 0, Highest = 0;  // Highest: last slot written since the tokens were emptied
  TZNT1Entity* Current = nullptr;
  for (const char ch : Source) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '{') {
      Current = new TZNT1Entity();
      Entities.Add(Current);
    } else if (c == '}' || c == 10) {
      if (!Tokens[1].empty() && !Tokens[3].empty() && Current) Current->Add(Tokens[1], Tokens[3]);
      q = 0;
      for (int i = 1; i <= Highest; ++i) Tokens[static_cast<size_t>(i)].clear();
      Highest = 0;
    } else if (c == '"') {
      if (q <= kTokens) ++q;  // past the last slot the count no longer matters
    } else if (c >= 32) {
      if (q >= 1 && q <= kTokens) {
        Tokens[static_cast<size_t>(q)] += ch;
        if (q > Highest) Highest = q;
      }
    }
  }
}
