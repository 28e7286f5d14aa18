#include "protocol/pobject.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string Text(const PObject& p) { return p.toString().c_str_utf8(); }

PObject Binary(const char* path, uint64_t offset, uint64_t length) {
  PObject p;
  PObject::binary_type& b = p.asBinary();
  b.path = path;
  b.offset = offset;
  b.length = length;
  return p;
}

PObject EmptyMap() {
  PObject p;
  p.asMap();
  return p;
}

PObject EmptyArray() {
  PObject p;
  p.asArray();
  return p;
}

struct ReaderCase {
  const char* name;
  std::function<PObject()> make;
  bool is_empty;
  bool as_bool;
  uint64_t as_uint64;
  int32_t as_int32;
  const char* as_string;
  const char* to_string;
};

// What every read accessor gives for one value of each kind.
TEST(PObjectTest, ReadersByKind) {
  const ReaderCase cases[] = {
      {"null", [] { return PObject(); }, true, false, 0, 0, "", "null"},
      {"int 0", [] { return PObject(0); }, false, false, 0, 0, "0", "0"},
      {"int -1",
       [] {
         PObject p;
         p = -1;
         return p;
       },
       false, true, 18446744073709551615ULL, -1, "4294967295", "18446744073709551615"},
      {"int -6",
       [] {
         PObject p;
         p = -6;
         return p;
       },
       false, true, 18446744073709551610ULL, -6, "4294967290", "18446744073709551610"},
      // asString prints the low 32 bits only; toString the whole value.
      {"int 2^32+1", [] { return PObject(4294967297ULL); }, false, true, 4294967297ULL, 1, "1", "4294967297"},
      {"int 2^32", [] { return PObject(4294967296ULL); }, false, true, 4294967296ULL, 0, "0", "4294967296"},
      {"bool true",
       [] {
         PObject p;
         p = true;
         return p;
       },
       false, true, 1, 1, "1", "1"},
      {"string \"0\"", [] { return PObject("0"); }, false, true, 0, 0, "0", "\"0\""},
      {"string empty", [] { return PObject(""); }, true, false, 0, 0, "", "\"\""},
      {"map empty", [] { return EmptyMap(); }, true, false, 0, 0, "", "{}"},
      {"map",
       [] {
         PObject p;
         p["b"] = "x";
         p["a"] = 1;
         return p;
       },
       false, true, 0, 0, "", "{\"a\": 1, \"b\": \"x\"}"},
      {"array empty", [] { return EmptyArray(); }, true, false, 0, 0, "", "[]"},
      {"array",
       [] {
         PObject p;
         p.asArray().push_back(PObject(1));
         p.asArray().push_back(PObject("x"));
         return p;
       },
       false, true, 0, 0, "", "[1, \"x\"]"},
      // A binary without a path is empty whatever its numbers say.
      {"binary no path", [] { return Binary("", 0, 5); }, true, false, 0, 0, "",
       "{offset: 0, length: 5, path: \"\"}"},
      {"binary", [] { return Binary("/tmp/f", 0, 12); }, false, true, 0, 0, "",
       "{offset: 0, length: 12, path: \"/tmp/f\"}"},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PObject p = c.make();
    EXPECT_EQ(c.is_empty, p.isEmpty());
    EXPECT_EQ(c.as_bool, p.asBool());
    EXPECT_EQ(c.as_uint64, p.asUInt64());
    EXPECT_EQ(c.as_uint64, p.asInteger());
    EXPECT_EQ(static_cast<int64_t>(c.as_uint64), p.asInt64());
    EXPECT_EQ(c.as_int32, p.asInt32());
    EXPECT_STREQ(c.as_string, p.asString().c_str_utf8());
    EXPECT_EQ(c.to_string, Text(p));
    // Reading changed nothing.
    EXPECT_EQ(c.to_string, Text(p));
  }
}

TEST(PObjectTest, NarrowIntegerReaders) {
  const PObject p(0x1234ABCDull);
  EXPECT_EQ(0x1234ABCDu, p.asUInt32());
  EXPECT_EQ(0xABCD, p.asUInt16());
  EXPECT_EQ(static_cast<int16_t>(0xABCD), p.asInt16());
  EXPECT_EQ(0xCD, p.asUInt8());
  EXPECT_EQ(static_cast<int8_t>(0xCD), p.asInt8());
}

TEST(PObjectTest, KindTests) {
  struct {
    PObject value;
    int kind;
  } cases[] = {
      {PObject(), PObject::TYPE_NULL},         {EmptyArray(), PObject::TYPE_ARRAY},
      {EmptyMap(), PObject::TYPE_MAP}, {PObject(7), PObject::TYPE_INTEGER},
      {PObject("s"), PObject::TYPE_STRING},    {Binary("/f", 0, 0), PObject::TYPE_BINARY},
  };
  for (const auto& c : cases) {
    const PObject& p = c.value;
    SCOPED_TRACE(Text(p));
    EXPECT_EQ(c.kind == PObject::TYPE_NULL, p.isNull());
    EXPECT_EQ(c.kind == PObject::TYPE_ARRAY, p.isArray());
    EXPECT_EQ(c.kind == PObject::TYPE_MAP, p.isMap());
    EXPECT_EQ(c.kind == PObject::TYPE_INTEGER, p.isInteger());
    EXPECT_EQ(c.kind == PObject::TYPE_STRING, p.isString());
    EXPECT_EQ(c.kind == PObject::TYPE_BINARY, p.isBinary());
    EXPECT_EQ(c.kind == PObject::TYPE_ARRAY || c.kind == PObject::TYPE_MAP, p.isContainer());
    EXPECT_EQ(c.kind >= PObject::TYPE_INTEGER, p.isPrimitive());
  }
}

// Every integer type of LP64 assigns without ambiguity; signed ones are
// sign-extended.
TEST(PObjectTest, IntegerTypesOfThisPlatform) {
  PObject p;
  p = uint64_t{18446744073709551615ULL};
  EXPECT_EQ(18446744073709551615ULL, p.asUInt64());
  p = int64_t{-2};
  EXPECT_EQ(18446744073709551614ULL, p.asUInt64());
  p = size_t{5};
  EXPECT_EQ(5u, p.asUInt64());
  p = -3LL;
  EXPECT_EQ(-3, p.asInt64());
  p = 4000000000u;
  EXPECT_EQ(4000000000ULL, p.asUInt64());
  p = static_cast<uint16_t>(65535);
  EXPECT_EQ(65535u, p.asUInt64());
  p = false;
  EXPECT_TRUE(p.isInteger());
  EXPECT_EQ(0u, p.asUInt64());

  EXPECT_EQ(-7, PObject(int64_t{-7}).asInt64());
  EXPECT_EQ(-7, PObject(-7L).asInt64());
  EXPECT_EQ(-7, PObject(-7LL).asInt64());
  EXPECT_EQ(-7, PObject(-7).asInt64());
  EXPECT_EQ(7u, PObject(uint64_t{7}).asUInt64());
  EXPECT_EQ(7u, PObject(7u).asUInt64());
}

TEST(PObjectTest, ConstKeyAccessNeverChangesTheObject) {
  PObject p("text");
  const PObject& c = p;
  EXPECT_TRUE(c["absent"].isNull());
  EXPECT_FALSE(c.hasMember("absent"));
  EXPECT_EQ("\"text\"", Text(p));

  PObject m;
  m["a"] = 1;
  const PObject& cm = m;
  EXPECT_TRUE(cm["b"].isNull());
  EXPECT_EQ(1u, cm["a"].asUInt64());
  EXPECT_EQ("{\"a\": 1}", Text(m));
}

TEST(PObjectTest, WritableKeyAccessConvertsAndInserts) {
  PObject p("text");
  PObject& member = p["k"];  // the string is discarded
  EXPECT_TRUE(member.isNull());
  EXPECT_TRUE(p.isMap());
  EXPECT_TRUE(p.hasMember("k"));
  EXPECT_EQ("{\"k\": null}", Text(p));

  PObject request;
  request["_agent"]["version"]["major"] = 3;
  EXPECT_EQ("{\"_agent\": {\"version\": {\"major\": 3}}}", Text(request));
}

TEST(PObjectTest, ContainerReadersAndWriters) {
  PObject i(5);
  const PObject& ci = i;
  EXPECT_TRUE(ci.asMap().empty());
  EXPECT_TRUE(ci.asArray().empty());
  EXPECT_TRUE(ci.asBinary().empty());
  EXPECT_TRUE(i.isInteger()) << "the const readers converted";

  // Two objects share the same empty value, which stays empty.
  const PObject other("x");
  EXPECT_EQ(&ci.asMap(), &other.asMap());
  EXPECT_EQ(&ci.asArray(), &other.asArray());

  i.asMap();
  EXPECT_TRUE(i.isMap());
  EXPECT_TRUE(i.isEmpty());
  i.asArray().push_back(PObject(1));
  EXPECT_EQ("[1]", Text(i));
  i.asBinary().length = 9;
  EXPECT_EQ("{offset: 0, length: 9, path: \"\"}", Text(i));
  // Asking an array for array access keeps its elements.
  PObject a;
  a.asArray().push_back(PObject(2));
  a.asArray().push_back(PObject(3));
  EXPECT_EQ("[2, 3]", Text(a));
}

TEST(PObjectTest, PositionalAccess) {
  PObject a;
  a.asArray().push_back(PObject("x"));
  PObject m;
  m["b"] = 2;
  m["a"] = 1;
  const PObject& ca = a;
  const PObject& cm = m;
  EXPECT_EQ("\"x\"", Text(ca[0u]));
  EXPECT_TRUE(ca[1u].isNull());
  EXPECT_EQ(1u, cm[0u].asUInt64()) << "members in key order";
  EXPECT_EQ(2u, cm[1u].asUInt64());
  EXPECT_TRUE(cm[2u].isNull());

  a[0u] = "y";
  EXPECT_EQ("[\"y\"]", Text(a));
  m[1u] = 5;
  EXPECT_EQ("{\"a\": 1, \"b\": 5}", Text(m));
  PObject s("s");
  for (PObject* p : {&a, &m, &s}) {
    try {
      (*p)[7u];
      ADD_FAILURE() << "no exception for " << Text(*p);
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
    }
  }
  EXPECT_EQ("\"s\"", Text(s));
}

TEST(PObjectTest, CopiesAreDeep) {
  PObject a;
  a["list"].asArray().push_back(PObject("one"));
  a["map"]["k"] = 1;
  PObject b(a);
  PObject c;
  c = a;
  b["list"].asArray().push_back(PObject("two"));
  c["map"]["k"] = 2;
  EXPECT_EQ("{\"list\": [\"one\"], \"map\": {\"k\": 1}}", Text(a));
  EXPECT_EQ("{\"list\": [\"one\", \"two\"], \"map\": {\"k\": 1}}", Text(b));
  EXPECT_EQ("{\"list\": [\"one\"], \"map\": {\"k\": 2}}", Text(c));
}

// Assigning an object to itself or from one of its own members copies the
// source before releasing anything.
TEST(PObjectTest, AssignmentFromItselfAndItsMembers) {
  PObject a;
  a["x"]["y"] = "deep";
  a["z"] = 1;
  a = a;
  EXPECT_EQ("{\"x\": {\"y\": \"deep\"}, \"z\": 1}", Text(a));

  a = a["x"];
  EXPECT_EQ("{\"y\": \"deep\"}", Text(a));
  a = a["y"];
  EXPECT_EQ("\"deep\"", Text(a));

  PObject arr;
  arr.asArray().push_back(PObject());
  arr.asArray()[0]["k"] = 2;
  arr = arr[0u];
  EXPECT_EQ("{\"k\": 2}", Text(arr));

  PObject m;
  m["inner"]["v"] = 3;
  m = std::move(m["inner"]);
  EXPECT_EQ("{\"v\": 3}", Text(m));
  PObject moved(std::move(m));
  EXPECT_TRUE(m.isNull());
  EXPECT_EQ("{\"v\": 3}", Text(moved));
}

TEST(PObjectTest, AssignmentFromEveryKind) {
  PObject p;
  PObject::map_type map;
  map["k"] = "v";
  p = map;
  EXPECT_EQ("{\"k\": \"v\"}", Text(p));
  PObject::array_type array(2);
  p = array;
  EXPECT_EQ("[null, null]", Text(p));
  PObject::binary_type b;
  b.path = "/p";
  b.offset = 1;
  b.length = 2;
  p = b;
  EXPECT_EQ("{offset: 1, length: 2, path: \"/p\"}", Text(p));
  p = ustring("u");
  EXPECT_EQ("\"u\"", Text(p));
  p = PObject();
  EXPECT_TRUE(p.isNull());
  p = "c";
  p.clear();
  EXPECT_TRUE(p.isNull());
  EXPECT_EQ("null", Text(p));
}

// Literal keys and indexes take their own overloads; they behave as the
// ustring and unsigned forms.
TEST(PObjectTest, LiteralKeysAndIndexes) {
  PObject p;
  p["b"] = 2;
  p[ustring("a")] = 1;
  const PObject& c = p;
  EXPECT_EQ(1u, c["a"].asUInt64());
  EXPECT_EQ(2u, c[ustring("b")].asUInt64());
  EXPECT_TRUE(c["zz"].isNull());
  EXPECT_TRUE(c.hasMember("a"));
  EXPECT_FALSE(c.hasMember("zz"));
  EXPECT_FALSE(c.hasMember(ustring("zz")));
  EXPECT_EQ(2u, p.asMap().size()) << "const look-ups inserted nothing";
  EXPECT_EQ(1u, c[0].asUInt64());
  p["c"];
  EXPECT_EQ("{\"a\": 1, \"b\": 2, \"c\": null}", Text(p));

  std::map<ustring, PObject> plain;
  plain["k"] = "v";
  PObject q;
  q = plain;
  EXPECT_EQ("{\"k\": \"v\"}", Text(q));
}

TEST(PObjectTest, SwapExchangesValues) {
  PObject a("a");
  PObject b;
  b["k"] = 1;
  a.swap(b);
  EXPECT_EQ("{\"k\": 1}", Text(a));
  EXPECT_EQ("\"a\"", Text(b));
}

TEST(PObjectTest, BinaryTypeHelpers) {
  PObject::binary_type b;
  EXPECT_TRUE(b.empty());
  b.offset = 3;
  b.length = 4;
  EXPECT_TRUE(b.empty());
  b.path = "/f";
  EXPECT_FALSE(b.empty());
  PObject::binary_type c;
  c = b;
  EXPECT_EQ(3u, c.offset);
  EXPECT_EQ(4u, c.length);
  EXPECT_STREQ("/f", c.path.c_str_utf8());
  b.clear();
  EXPECT_EQ(0u, b.offset);
  EXPECT_EQ(0u, b.length);
  EXPECT_TRUE(b.empty());
}

}  // namespace
