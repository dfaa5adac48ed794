// MOF lexer and recursive-descent parser for the subset product MOF files
// use: comments, the namespace/deleteclass/autorecover pragmas (classflags,
// instanceflags and locale are accepted and have no effect), qualifier lists
// with values and flavors, class declarations with properties, references,
// arrays, default values and methods, and instance declarations.
//
// The text is turned into tokens first; a lexical error becomes an error
// token, so it is reported only when the parser reaches it, as part of the
// object it is in. Nothing recurses deeper than an array of scalars.
#include "platform/mofcomp/mof_parser.h"

#include <charconv>
#include <limits>

#include "platform/mofcomp/mof_status.h"

namespace kvtr::mof {
namespace {

struct Token {
  enum class Kind { kEnd, kError, kIdent, kString, kInteger, kReal, kChar, kPunct };
  Kind kind = Kind::kEnd;
  LONG line = 1;
  WString text;        // identifier or decoded string
  uint64_t magnitude = 0;
  double real = 0;
  wchar unit = 0;      // punctuation or character
  HRESULT error = 0;
};

bool IsIdentStart(wchar c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 0x80 && c != 0xFEFF);
}
bool IsIdentChar(wchar c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(wchar c) { return c >= '0' && c <= '9'; }
int HexValue(wchar c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Lexer {
 public:
  explicit Lexer(WStringView text) : s_(text) {}

  std::vector<Token> Run() {
    std::vector<Token> tokens;
    while (true) {
      SkipSpaceAndComments();
      if (failed_) {
        tokens.push_back(errorToken_);
        break;
      }
      if (i_ >= s_.size()) break;
      Token token = Next();
      tokens.push_back(token);
      if (token.kind == Token::Kind::kError) break;
    }
    Token end;
    end.kind = Token::Kind::kEnd;
    end.line = tokens.empty() ? 1 : tokens.back().line;
    tokens.push_back(end);
    return tokens;
  }

 private:
  wchar At(size_t k) const { return k < s_.size() ? s_[k] : 0; }

  Token Error(HRESULT code, LONG line) {
    Token token;
    token.kind = Token::Kind::kError;
    token.error = code;
    token.line = line;
    return token;
  }

  void SkipSpaceAndComments() {
    while (i_ < s_.size()) {
      const wchar c = s_[i_];
      if (c == '\n') {
        ++line_;
        ++i_;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' || c == 0xFEFF) {
        ++i_;
      } else if (c == '/' && At(i_ + 1) == '/') {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
      } else if (c == '/' && At(i_ + 1) == '*') {
        const LONG start = line_;
        i_ += 2;
        while (i_ < s_.size() && !(s_[i_] == '*' && At(i_ + 1) == '/')) {
          if (s_[i_] == '\n') ++line_;
          ++i_;
        }
        if (i_ >= s_.size()) {
          failed_ = true;
          errorToken_ = Error(status::kUnrecognizedToken, start);
          return;
        }
        i_ += 2;
      } else {
        return;
      }
    }
  }

  Token Next() {
    const wchar c = s_[i_];
    Token token;
    token.line = line_;
    if (IsIdentStart(c)) {
      const size_t start = i_;
      while (i_ < s_.size() && IsIdentChar(s_[i_])) ++i_;
      token.kind = Token::Kind::kIdent;
      token.text = WString(s_.substr(start, i_ - start));
      return token;
    }
    if (IsDigit(c) || (c == '.' && IsDigit(At(i_ + 1)))) return Number();
    if (c == '"') return Quoted('"');
    if (c == '\'') return Quoted('\'');
    static constexpr char kPunctuation[] = "{}[]();,:=$#+-";
    for (const char* p = kPunctuation; *p != 0; ++p) {
      if (c == static_cast<wchar>(*p)) {
        ++i_;
        token.kind = Token::Kind::kPunct;
        token.unit = c;
        return token;
      }
    }
    return Error(status::kUnrecognizedToken, line_);
  }

  Token Number() {
    Token token;
    token.line = line_;
    const size_t start = i_;
    if (s_[i_] == '0' && (At(i_ + 1) == 'x' || At(i_ + 1) == 'X')) {
      i_ += 2;
      uint64_t value = 0;
      size_t digits = 0;
      for (int h; (h = HexValue(At(i_))) >= 0; ++i_, ++digits) {
        if (value > (std::numeric_limits<uint64_t>::max() >> 4)) return Error(status::kOutOfRange, line_);
        value = (value << 4) | static_cast<uint64_t>(h);
      }
      if (digits == 0 || IsIdentChar(At(i_))) return Error(status::kUnrecognizedToken, line_);
      token.kind = Token::Kind::kInteger;
      token.magnitude = value;
      return token;
    }
    while (IsDigit(At(i_))) ++i_;
    bool real = false;
    if (At(i_) == '.' && IsDigit(At(i_ + 1))) {
      real = true;
      ++i_;
      while (IsDigit(At(i_))) ++i_;
    }
    if ((At(i_) == 'e' || At(i_) == 'E') &&
        (IsDigit(At(i_ + 1)) || ((At(i_ + 1) == '+' || At(i_ + 1) == '-') && IsDigit(At(i_ + 2))))) {
      real = true;
      i_ += 2;
      while (IsDigit(At(i_))) ++i_;
    }
    std::string digits;
    for (size_t k = start; k < i_; ++k) digits.push_back(static_cast<char>(s_[k]));
    if (real) {
      if (IsIdentChar(At(i_))) return Error(status::kUnrecognizedToken, line_);
      double value = 0;
      const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (parsed.ec != std::errc()) return Error(status::kOutOfRange, line_);
      token.kind = Token::Kind::kReal;
      token.real = value;
      return token;
    }
    unsigned base = 10;
    if ((At(i_) == 'b' || At(i_) == 'B') && !IsIdentChar(At(i_ + 1)) &&
        digits.find_first_not_of("01") == std::string::npos) {
      base = 2;
      ++i_;
    } else if (digits.size() > 1 && digits[0] == '0') {
      base = 8;
    }
    if (IsIdentChar(At(i_))) return Error(status::kUnrecognizedToken, line_);
    uint64_t value = 0;
    for (char d : digits) {
      const unsigned digit = static_cast<unsigned>(d - '0');
      if (digit >= base) return Error(status::kUnrecognizedToken, line_);
      if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return Error(status::kOutOfRange, line_);
      value = value * base + digit;
    }
    token.kind = Token::Kind::kInteger;
    token.magnitude = value;
    return token;
  }

  // A string ("...") or character ('.') literal with MOF escapes.
  Token Quoted(wchar quote) {
    Token token;
    token.line = line_;
    ++i_;
    WString text;
    while (true) {
      if (i_ >= s_.size() || s_[i_] == '\n' || s_[i_] == '\r') return Error(status::kUnrecognizedToken, token.line);
      wchar c = s_[i_++];
      if (c == quote) break;
      if (c == '\\') {
        const wchar e = At(i_++);
        switch (e) {
          case 'b': c = '\b'; break;
          case 't': c = '\t'; break;
          case 'n': c = '\n'; break;
          case 'f': c = '\f'; break;
          case 'r': c = '\r'; break;
          case '"': c = '"'; break;
          case '\'': c = '\''; break;
          case '\\': c = '\\'; break;
          case 'x':
          case 'X': {
            unsigned value = 0;
            int digits = 0;
            for (int h; digits < 4 && (h = HexValue(At(i_))) >= 0; ++i_, ++digits) value = value * 16 + h;
            if (digits == 0) return Error(status::kUnrecognizedToken, token.line);
            c = static_cast<wchar>(value);
            break;
          }
          default:
            return Error(status::kUnrecognizedToken, token.line);
        }
      }
      text.push_back(c);
    }
    if (quote == '"') {
      token.kind = Token::Kind::kString;
      token.text = std::move(text);
      return token;
    }
    if (text.size() != 1) return Error(status::kIllegalConstantValue, token.line);
    token.kind = Token::Kind::kChar;
    token.unit = text[0];
    return token;
  }

  WStringView s_;
  size_t i_ = 0;
  LONG line_ = 1;
  bool failed_ = false;
  Token errorToken_;
};

const char* const kFlavors[] = {"EnableOverride", "DisableOverride", "Restricted",    "ToInstance", "ToSubclass",
                                "NotToInstance",  "NotToSubclass",   "Translatable", "Amended"};

HRESULT CheckScalar(CimType type, const Value& v) {
  using K = Value::Kind;
  if (v.kind == K::kNull) return 0;
  auto integer = [&](bool isSigned, int bits) -> HRESULT {
    if (v.kind != K::kInteger) return status::kTypeMismatch;
    const uint64_t top = bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    if (isSigned) {
      const uint64_t limit = uint64_t{1} << (bits - 1);
      if (v.negative ? v.magnitude > limit : v.magnitude > limit - 1) return status::kOutOfRange;
    } else if ((v.negative && v.magnitude != 0) || v.magnitude > top) {
      return status::kOutOfRange;
    }
    return 0;
  };
  switch (type) {
    case CimType::kSInt8: return integer(true, 8);
    case CimType::kUInt8: return integer(false, 8);
    case CimType::kSInt16: return integer(true, 16);
    case CimType::kUInt16: return integer(false, 16);
    case CimType::kSInt32: return integer(true, 32);
    case CimType::kUInt32: return integer(false, 32);
    case CimType::kSInt64: return integer(true, 64);
    case CimType::kUInt64: return integer(false, 64);
    case CimType::kReal32:
    case CimType::kReal64:
      return v.kind == K::kInteger || v.kind == K::kReal ? 0 : status::kTypeMismatch;
    case CimType::kString:
    case CimType::kDateTime:
      return v.kind == K::kString ? 0 : status::kTypeMismatch;
    case CimType::kBoolean:
      return v.kind == K::kBoolean ? 0 : status::kTypeMismatch;
    case CimType::kChar16:
      if (v.kind == K::kChar) return 0;
      return integer(false, 16);
    case CimType::kObject:
      return v.kind == K::kAlias ? 0 : status::kTypeMismatch;
    case CimType::kReference:
      return v.kind == K::kString || v.kind == K::kAlias ? 0 : status::kTypeMismatch;
  }
  return status::kTypeMismatch;
}

HRESULT CheckDefault(const Property& p) {
  const Value& v = p.defaultValue;
  if (v.kind == Value::Kind::kNull) return 0;
  if (p.array != (v.kind == Value::Kind::kArray)) return status::kTypeMismatch;
  if (!p.array) return CheckScalar(p.type, v);
  for (const Value& element : v.elements) {
    if (HRESULT hr = CheckScalar(p.type, element); hr != 0) return hr;
  }
  return 0;
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, WStringView startNamespace) : t_(std::move(tokens)), ns_(startNamespace) {}

  ParseResult Run() {
    while (Cur().kind != Token::Kind::kEnd) {
      objectFirstLine_ = Cur().line;
      bool ok;
      if (IsPunct('#')) ok = ParsePragma();
      else if (IsPunct('[') || Cur().kind == Token::Kind::kIdent) ok = ParseDeclaration();
      else ok = Fail(status::kUnrecognizedToken);
      if (!ok) break;
    }
    r_.lastNamespace = ns_;
    return std::move(r_);
  }

 private:
  using K = Token::Kind;

  const Token& Cur() const { return t_[pos_]; }
  const Token& Peek() const { return t_[pos_ + 1 < t_.size() ? pos_ + 1 : pos_]; }
  void Next() {
    if (pos_ + 1 < t_.size()) ++pos_;
  }
  bool IsPunct(wchar c) const { return Cur().kind == K::kPunct && Cur().unit == c; }
  bool IsKeyword(const char* keyword) const {
    return Cur().kind == K::kIdent && SameName(Cur().text, WidenAscii(keyword));
  }
  LONG LastConsumedLine() const { return pos_ > 0 ? t_[pos_ - 1].line : 1; }

  // Records the first error: a lexical error at the current token wins
  // over what the parser expected there.
  bool Fail(HRESULT code) {
    if (Cur().kind == K::kError) code = Cur().error;
    r_.error = code;
    r_.errorObject = static_cast<LONG>(r_.items.size()) + 1;
    r_.errorFirstLine = objectFirstLine_;
    const LONG line = Cur().kind == K::kEnd ? LastConsumedLine() : Cur().line;
    r_.errorLastLine = line < objectFirstLine_ ? objectFirstLine_ : line;
    return false;
  }

  bool Expect(wchar c, HRESULT code) {
    if (!IsPunct(c)) return Fail(code);
    Next();
    return true;
  }

  // One or more adjacent string literals, joined.
  bool Strings(WString* out) {
    if (Cur().kind != K::kString) return false;
    out->clear();
    while (Cur().kind == K::kString) {
      *out += Cur().text;
      Next();
    }
    return true;
  }

  bool ParsePragma() {
    Next();  // '#'
    if (!IsKeyword("pragma")) return Fail(status::kInvalidPragma);
    Next();
    if (Cur().kind != K::kIdent) return Fail(status::kInvalidPragma);
    const WString name = Cur().text;
    if (SameName(name, W("namespace"))) {
      Next();
      if (!Expect('(', status::kExpectedOpenParen)) return false;
      WString path;
      if (!Strings(&path)) return Fail(status::kInvalidNamespaceSyntax);
      const WString resolved = ResolveNamespace(ns_, path);
      if (resolved.empty()) return Fail(status::kInvalidNamespaceSyntax);
      if (!Expect(')', status::kExpectedCloseParen)) return false;
      ns_ = resolved;
      return true;
    }
    if (SameName(name, W("deleteclass"))) return ParseDeleteClass();
    if (SameName(name, W("autorecover"))) {
      Next();
      r_.autorecover = true;
      return true;
    }
    if (SameName(name, W("classflags")) || SameName(name, W("instanceflags")) || SameName(name, W("locale"))) {
      Next();
      if (!Expect('(', status::kExpectedOpenParen)) return false;
      while (true) {
        Value ignored;
        if (!ParseScalar(&ignored)) return false;
        if (!IsPunct(',')) break;
        Next();
      }
      return Expect(')', status::kExpectedCloseParen);
    }
    return Fail(status::kInvalidPragma);
  }

  bool ParseDeleteClass() {
    Item item;
    item.kind = Item::Kind::kDeleteClass;
    item.nameSpace = ns_;
    item.firstLine = objectFirstLine_;
    Next();  // "deleteclass"
    constexpr HRESULT kSyntax = status::kInvalidDeleteClassSyntax;
    if (!Expect('(', kSyntax)) return false;
    if (!Strings(&item.deleteName)) return Fail(kSyntax);
    if (item.deleteName.empty()) return Fail(kSyntax);
    for (wchar c : item.deleteName) {
      if (!IsIdentChar(c)) return Fail(kSyntax);
    }
    if (!Expect(',', kSyntax)) return false;
    if (IsKeyword("FAIL")) item.deleteMustExist = true;
    else if (!IsKeyword("NOFAIL")) return Fail(kSyntax);
    Next();
    if (!IsPunct(')')) return Fail(kSyntax);
    item.lastLine = Cur().line;
    Next();
    r_.items.push_back(std::move(item));
    return true;
  }

  bool ParseDeclaration() {
    std::vector<Qualifier> qualifiers;
    const bool qualified = IsPunct('[');
    if (qualified && !ParseQualifierList(&qualifiers)) return false;
    if (IsKeyword("class")) return ParseClass(std::move(qualifiers));
    if (IsKeyword("instance")) return ParseInstance(std::move(qualifiers));
    if (IsKeyword("typedef")) return Fail(status::kTypedefNotSupported);
    return Fail(qualified ? status::kInvalidClassDeclaration : status::kUnrecognizedToken);
  }

  bool ParseQualifierList(std::vector<Qualifier>* out) {
    Next();  // '['
    while (true) {
      if (Cur().kind != K::kIdent) return Fail(status::kExpectedQualifierName);
      Qualifier q;
      q.name = Cur().text;
      Next();
      if (IsPunct('(')) {
        Next();
        if (!ParseConstant(&q.value)) return false;
        if (!Expect(')', status::kExpectedCloseParen)) return false;
      } else if (IsPunct('{')) {
        if (!ParseArray(&q.value)) return false;
      } else {
        q.value.kind = Value::Kind::kBoolean;
        q.value.boolean = true;
      }
      if (IsPunct(':')) {
        Next();
        do {
          const char* flavor = nullptr;
          if (Cur().kind == K::kIdent) {
            for (const char* known : kFlavors) {
              if (SameName(Cur().text, WidenAscii(known))) flavor = known;
            }
          }
          if (flavor == nullptr) return Fail(status::kExpectedFlavorType);
          q.flavors.push_back(WidenAscii(flavor));
          Next();
        } while (Cur().kind == K::kIdent);
      }
      for (const Qualifier& existing : *out) {
        if (SameName(existing.name, q.name)) return Fail(status::kDuplicateQualifier);
      }
      out->push_back(std::move(q));
      if (IsPunct(',')) {
        Next();
        continue;
      }
      return Expect(']', status::kExpectedCloseBracket);
    }
  }

  bool ParseConstant(Value* out) {
    if (IsPunct('{')) return ParseArray(out);
    return ParseScalar(out);
  }

  bool ParseArray(Value* out) {
    Next();  // '{'
    out->kind = Value::Kind::kArray;
    if (IsPunct('}')) {
      Next();
      return true;
    }
    while (true) {
      Value element;
      if (!ParseScalar(&element)) return false;
      out->elements.push_back(std::move(element));
      if (IsPunct(',')) {
        Next();
        continue;
      }
      return Expect('}', status::kExpectedCloseBrace);
    }
  }

  bool ParseScalar(Value* out) {
    bool negative = false;
    bool signedNumber = false;
    if (IsPunct('-') || IsPunct('+')) {
      negative = IsPunct('-');
      signedNumber = true;
      Next();
    }
    using VK = Value::Kind;
    switch (Cur().kind) {
      case K::kInteger:
        if (negative && Cur().magnitude > (uint64_t{1} << 63)) return Fail(status::kOutOfRange);
        out->kind = VK::kInteger;
        out->magnitude = Cur().magnitude;
        out->negative = negative && out->magnitude != 0;
        Next();
        return true;
      case K::kReal:
        out->kind = VK::kReal;
        out->real = negative ? -Cur().real : Cur().real;
        Next();
        return true;
      default:
        break;
    }
    if (signedNumber) return Fail(status::kIllegalConstantValue);
    if (Cur().kind == K::kString) {
      out->kind = VK::kString;
      Strings(&out->text);
      return true;
    }
    if (Cur().kind == K::kChar) {
      out->kind = VK::kChar;
      out->character = Cur().unit;
      Next();
      return true;
    }
    if (IsKeyword("true") || IsKeyword("false")) {
      out->kind = VK::kBoolean;
      out->boolean = IsKeyword("true");
      Next();
      return true;
    }
    if (IsKeyword("null")) {
      out->kind = VK::kNull;
      Next();
      return true;
    }
    if (IsPunct('$')) {
      Next();
      if (Cur().kind != K::kIdent) return Fail(status::kExpectedAliasName);
      out->kind = VK::kAlias;
      out->text = Cur().text;
      Next();
      return true;
    }
    return Fail(status::kIllegalConstantValue);
  }

  bool ParseType(CimType* type, WString* referenceClass) {
    if (Cur().kind != K::kIdent) return Fail(status::kExpectedTypeIdentifier);
    if (Peek().kind == K::kIdent && SameName(Peek().text, W("ref"))) {
      *type = CimType::kReference;
      *referenceClass = Cur().text;
      Next();
      Next();
      return true;
    }
    const std::optional<CimType> known = TypeFromName(Cur().text);
    if (!known) return Fail(status::kUnrecognizedType);
    *type = *known;
    Next();
    return true;
  }

  // "[n]" or "[]" after a property or parameter name.
  bool ParseArraySuffix(Property* p) {
    if (!IsPunct('[')) return true;
    Next();
    p->array = true;
    if (Cur().kind == K::kInteger) {
      if (Cur().magnitude > static_cast<uint64_t>(std::numeric_limits<int>::max())) return Fail(status::kOutOfRange);
      p->arraySize = static_cast<int>(Cur().magnitude);
      Next();
    }
    return Expect(']', status::kExpectedCloseBracket);
  }

  bool ParseClass(std::vector<Qualifier> qualifiers) {
    Item item;
    item.kind = Item::Kind::kClass;
    item.nameSpace = ns_;
    item.firstLine = objectFirstLine_;
    ClassDef& c = item.classDef;
    c.qualifiers = std::move(qualifiers);
    Next();  // "class"
    if (Cur().kind != K::kIdent) return Fail(status::kExpectedClassName);
    c.name = Cur().text;
    Next();
    if (IsPunct(':')) {
      Next();
      if (Cur().kind != K::kIdent) return Fail(status::kExpectedClassName);
      c.superclass = Cur().text;
      Next();
    }
    if (!Expect('{', status::kExpectedOpenBrace)) return false;
    while (!IsPunct('}')) {
      if (Cur().kind == K::kEnd) return Fail(status::kExpectedCloseBrace);
      if (!ParseFeature(&c)) return false;
    }
    Next();  // '}'
    if (!IsPunct(';')) return Fail(status::kExpectedSemi);
    item.lastLine = Cur().line;
    Next();
    r_.items.push_back(std::move(item));
    return true;
  }

  bool ParseFeature(ClassDef* c) {
    std::vector<Qualifier> qualifiers;
    if (IsPunct('[') && !ParseQualifierList(&qualifiers)) return false;
    CimType type;
    WString referenceClass;
    if (!ParseType(&type, &referenceClass)) return false;
    if (Cur().kind != K::kIdent) return Fail(status::kExpectedPropertyName);
    const WString name = Cur().text;
    for (const Property& p : c->properties) {
      if (SameName(p.name, name)) return Fail(status::kDuplicateProperty);
    }
    for (const Method& m : c->methods) {
      if (SameName(m.name, name)) return Fail(status::kDuplicateProperty);
    }
    Next();
    if (IsPunct('(')) {
      Method m;
      m.qualifiers = std::move(qualifiers);
      m.returnType = type;
      m.returnReferenceClass = referenceClass;
      m.name = name;
      Next();
      if (!IsPunct(')')) {
        while (true) {
          Property parameter;
          if (IsPunct('[') && !ParseQualifierList(&parameter.qualifiers)) return false;
          if (!ParseType(&parameter.type, &parameter.referenceClass)) return false;
          if (Cur().kind != K::kIdent) return Fail(status::kExpectedPropertyName);
          parameter.name = Cur().text;
          Next();
          if (!ParseArraySuffix(&parameter)) return false;
          m.parameters.push_back(std::move(parameter));
          if (!IsPunct(',')) break;
          Next();
        }
      }
      if (!Expect(')', status::kExpectedCloseParen)) return false;
      if (!Expect(';', status::kExpectedSemi)) return false;
      c->methods.push_back(std::move(m));
      return true;
    }
    Property p;
    p.qualifiers = std::move(qualifiers);
    p.type = type;
    p.referenceClass = referenceClass;
    p.name = name;
    if (!ParseArraySuffix(&p)) return false;
    if (IsPunct('=')) {
      Next();
      if (!ParseConstant(&p.defaultValue)) return false;
      p.hasDefault = true;
      if (HRESULT hr = CheckDefault(p); hr != 0) return Fail(hr);
    }
    if (!Expect(';', status::kExpectedSemi)) return false;
    c->properties.push_back(std::move(p));
    return true;
  }

  bool ParseInstance(std::vector<Qualifier> qualifiers) {
    Item item;
    item.kind = Item::Kind::kInstance;
    item.nameSpace = ns_;
    item.firstLine = objectFirstLine_;
    InstanceDef& instance = item.instance;
    instance.qualifiers = std::move(qualifiers);
    Next();  // "instance"
    if (!IsKeyword("of")) return Fail(status::kInvalidInstanceDeclaration);
    Next();
    if (Cur().kind != K::kIdent) return Fail(status::kExpectedClassName);
    instance.className = Cur().text;
    Next();
    if (IsKeyword("as")) {
      Next();
      if (!IsPunct('$')) return Fail(status::kExpectedAliasName);
      Next();
      if (Cur().kind != K::kIdent) return Fail(status::kExpectedAliasName);
      instance.alias = Cur().text;
      Next();
    }
    if (!Expect('{', status::kExpectedOpenBrace)) return false;
    while (!IsPunct('}')) {
      if (Cur().kind == K::kEnd) return Fail(status::kExpectedCloseBrace);
      std::vector<Qualifier> ignored;
      if (IsPunct('[') && !ParseQualifierList(&ignored)) return false;
      if (Cur().kind != K::kIdent) return Fail(status::kExpectedPropertyName);
      WString name = Cur().text;
      for (const auto& existing : instance.values) {
        if (SameName(existing.first, name)) return Fail(status::kDuplicateProperty);
      }
      Next();
      if (!Expect('=', status::kInvalidInstanceDeclaration)) return false;
      Value value;
      if (!ParseConstant(&value)) return false;
      if (!Expect(';', status::kExpectedSemi)) return false;
      instance.values.emplace_back(std::move(name), std::move(value));
    }
    Next();  // '}'
    if (!IsPunct(';')) return Fail(status::kExpectedSemi);
    item.lastLine = Cur().line;
    Next();
    r_.items.push_back(std::move(item));
    return true;
  }

  std::vector<Token> t_;
  size_t pos_ = 0;
  WString ns_;
  LONG objectFirstLine_ = 1;
  ParseResult r_;
};

}  // namespace

ParseResult ParseMof(WStringView text, WStringView startNamespace) {
  Lexer lexer(text);
  Parser parser(lexer.Run(), startNamespace);
  return parser.Run();
}

}  // namespace kvtr::mof
