#include "PropertyList.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(PropertyListTest, ReadsEveryKindOfValueFromAnXmlFile) {
    testing_support::TempDir dir;
    const std::string path = dir.writeFile("values.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>text</key><string>caf&#233; &amp; more</string>
  <key>count</key><integer>-5</integer>
  <key>big</key><integer>4294967296</integer>
  <key>flag</key><true/>
  <key>ratio</key><real>0.25</real>
  <key>blob</key><data>AAEC</data>
  <key>list</key><array><string>a</string><integer>2</integer></array>
  <key>nested</key><dict><key>inner</key><false/></dict>
</dict>
</plist>
)");
    const std::optional<PropertyListDictionary> dict = readPropertyListDictionary(path);
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->size(), 8u);
    EXPECT_EQ(*dict->find("text")->string(), "caf\u00e9 & more");
    EXPECT_EQ(*dict->find("count")->integer(), -5);
    EXPECT_EQ(*dict->find("big")->integer(), 4294967296);
    EXPECT_TRUE(*dict->find("flag")->boolean());
    EXPECT_DOUBLE_EQ(*dict->find("ratio")->real(), 0.25);
    EXPECT_EQ(*dict->find("blob")->data(), (PropertyListValue::Data{0, 1, 2}));
    const PropertyListValue::Array& list = *dict->find("list")->array();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(*list[0].string(), "a");
    EXPECT_EQ(*list[1].integer(), 2);
    EXPECT_FALSE(*dict->find("nested")->dictionary()->find("inner")->boolean());
    // A value is only what it is.
    EXPECT_EQ(dict->find("count")->string(), nullptr);
    EXPECT_EQ(dict->find("text")->integer(), nullptr);
    EXPECT_EQ(dict->find("absent"), nullptr);
}

TEST(PropertyListTest, GivesNoneForAnythingButADictionaryPropertyList) {
    testing_support::TempDir dir;
    EXPECT_FALSE(readPropertyListDictionary((dir.path() / "missing.plist").string()));
    EXPECT_FALSE(readPropertyListDictionary(dir.path().string())); // a directory
    EXPECT_FALSE(readPropertyListDictionary(dir.writeFile("empty.plist", std::string())));
    EXPECT_FALSE(readPropertyListDictionary(dir.writeFile("text.plist", "just some text\n")));
    EXPECT_FALSE(readPropertyListDictionary(
        dir.writeFile("array.plist", "<plist version=\"1.0\"><array/></plist>")));
    EXPECT_FALSE(readPropertyListDictionary(
        dir.writeFile("string.plist", "<plist version=\"1.0\"><string>x</string></plist>")));
    EXPECT_FALSE(readPropertyListDictionary(
        dir.writeFile("cut.plist", "<plist version=\"1.0\"><dict><key>a</key><string>")));
    EXPECT_FALSE(readPropertyListDictionary(dir.writeFile(
        "binary-cut.plist", std::vector<uint8_t>{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD1})));
    // An empty dictionary is a dictionary.
    const auto empty = readPropertyListDictionary(
        dir.writeFile("dict.plist", "<plist version=\"1.0\"><dict/></plist>"));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0u);
}

} // namespace
