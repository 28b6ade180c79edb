// CharsetTest.cpp - how a page's charset is chosen and its text converted,
// and character references decoded, over the byte shapes real pages use.
#include "html/CharRef.h"
#include "html/PageCharset.h"

#include <gtest/gtest.h>

namespace {

std::string Utf8Of(std::string_view strBody, std::string_view strChoice = {}, std::string_view strType = {})
{
    const SPageCharset charset = DetectCharset(strChoice, strBody, strType);
    return ConvertToUtf8(strBody.substr(charset.nBomLen), charset.strName);
}

} // namespace

TEST(PageCharsetTest, EachCharsetConvertsToUtf8)
{
    struct { const char* pszType; std::string strBody; const char* pszName; const char* pszUtf8; } cases[] = {
        { "text/html; charset=GBK",       "\xd6\xd0\xce\xc4",                 "GB18030",      "中文" },
        { "text/html; charset=gb2312",    "\xd6\xd0\xce\xc4",                 "GB18030",      "中文" },
        { "text/html;charset=\"GB18030\"", "\xa8\xa6\xa2\xe3\x94\x39\xfc\x36", "GB18030",      "é€😀" },
        { "text/html; charset=big5",      "\xa4\xa4\xa4\xe5\xad\xbb\xb4\xe4", "BIG5-HKSCS",   "中文香港" },
        { "text/html; charset=Shift_JIS", "\x93\xfa\x96\x7b",                 "CP932",        "日本" },
        { "text/html; charset=ISO-8859-1", "caf\xe9 \x80",                    "WINDOWS-1252", "café €" },
        { "text/html; Charset=UTF-16LE",  std::string("\x2d\x4e<\0", 4),      "UTF-16LE",     "中<" },
    };
    for (const auto& c : cases) {
        const SPageCharset charset = DetectCharset("", c.strBody, c.pszType);
        EXPECT_EQ(charset.strName, c.pszName) << c.pszType;
        EXPECT_EQ(charset.eSource, CHARSET_FROM_HEADER) << c.pszType;
        EXPECT_EQ(ConvertToUtf8(c.strBody, charset.strName), c.pszUtf8) << c.pszType;
    }
}

TEST(PageCharsetTest, OrderOfTheSources)
{
    const std::string strGbkMetaUtf8 = "<meta charset=\"utf-8\"><p>\xd6\xd0</p>";
    const std::string strMetaBig5 = "<html><head><meta http-equiv=Content-Type content='text/html; charset=big5'>"
                                    "</head><p>\xa4\xa4</p>";
    // The task's choice beats everything, even a byte-order mark.
    EXPECT_EQ(DetectCharset("big5", strMetaBig5, "text/html; charset=utf-8").eSource, CHARSET_FROM_TASK);
    SPageCharset bom = DetectCharset("gbk", "\xEF\xBB\xBFx", "");
    EXPECT_EQ(bom.strName, "GB18030");
    EXPECT_EQ(bom.nBomLen, 3u);
    // An unknown choice counts as automatic.
    EXPECT_EQ(DetectCharset("no-such-set", strMetaBig5, "").eSource, CHARSET_FROM_META);
    // A byte-order mark beats the header.
    bom = DetectCharset("", std::string("\xFF\xFE\x2d\x4e", 4), "text/html; charset=gbk");
    EXPECT_EQ(bom.eSource, CHARSET_FROM_BOM);
    EXPECT_EQ(bom.strName, "UTF-16LE");
    EXPECT_EQ(Utf8Of(std::string("\xFF\xFE\x2d\x4e", 4)), "中");
    EXPECT_EQ(Utf8Of(std::string("\xFE\xFF\x4e\x2d", 4)), "中");
    EXPECT_EQ(Utf8Of("\xEF\xBB\xBFok"), "ok");
    // Header and meta disagree: the header wins.
    EXPECT_EQ(DetectCharset("", strMetaBig5, "text/html; charset=gbk").strName, "GB18030");
    EXPECT_EQ(Utf8Of(strMetaBig5), "<html><head><meta http-equiv=Content-Type content='text/html; charset=big5'>"
                                   "</head><p>中</p>");
    // A header with an unknown charset is passed over.
    EXPECT_EQ(DetectCharset("", strMetaBig5, "text/html; charset=klingon").eSource, CHARSET_FROM_META);
    // Nothing declared: valid UTF-8 is UTF-8, anything else the home code page.
    EXPECT_EQ(DetectCharset("", "<p>中文</p>", "text/html").eSource, CHARSET_FROM_UTF8);
    EXPECT_EQ(DetectCharset("", "<p>\xd6\xd0\xce\xc4</p>", "").eSource, CHARSET_FROM_DEFAULT);
    EXPECT_EQ(Utf8Of("<p>\xd6\xd0\xce\xc4</p>"), "<p>中文</p>");
    // A meta tag that lies: it claims UTF-8 over GBK bytes.
    EXPECT_EQ(Utf8Of(strGbkMetaUtf8), "<meta charset=\"utf-8\"><p>中</p>");
    // ... or UTF-16 in a tag written in ASCII.
    EXPECT_EQ(DetectCharset("", "<meta charset=utf-16><p>x</p>", "").strName, "UTF-8");
}

TEST(PageCharsetTest, MetaIsFoundOnlyWhereBrowsersLook)
{
    EXPECT_EQ(MetaCharset("<!-- <meta charset=big5> --><meta charset=gbk>"), "gbk");
    EXPECT_EQ(MetaCharset("<META CHARSET = 'Shift_JIS' >"), "Shift_JIS");
    EXPECT_EQ(MetaCharset("<meta name=x content='charset=big5'>"), "");  // no http-equiv
    EXPECT_EQ(MetaCharset("<metadata charset=big5>"), "");
    EXPECT_EQ(MetaCharset("<meta charset=\"gbk"), "");                     // unclosed quote
    EXPECT_EQ(MetaCharset(std::string(5000, ' ') + "<meta charset=gbk>"), "");  // past 4 KiB
    EXPECT_EQ(ContentTypeCharset("text/html;  charset = gbk ; q=1"), "gbk");
    EXPECT_EQ(ContentTypeCharset("text/html"), "");
    EXPECT_EQ(CanonicalCharset("x\r\nInjected: 1"), "");
}

TEST(PageCharsetTest, InvalidBytesBecomeReplacementCharacters)
{
    // A lone lead byte inside GBK text, a cut sequence at the end.
    EXPECT_EQ(ConvertToUtf8("\xd6\xd0\xff\xce\xc4\xd6", "GB18030"), "中\xEF\xBF\xBD文\xEF\xBF\xBD");
    // Declared UTF-8 that is not: each broken sequence is marked, nothing dropped.
    EXPECT_EQ(ConvertToUtf8("a\xc3(b\xe4\xb8", "UTF-8"), "a\xEF\xBF\xBD(b\xEF\xBF\xBD");
    // An odd UTF-16 byte count.
    EXPECT_EQ(ConvertToUtf8(std::string("\x2d\x4e\x41", 3), "UTF-16LE"), "中\xEF\xBF\xBD");
    EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));  // a surrogate
    EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));      // overlong
    EXPECT_TRUE(IsValidUtf8("中文 😀"));
}

TEST(PageCharsetTest, FormValuesGoOutInThePageCharset)
{
    EXPECT_EQ(ConvertFromUtf8("中文", "GB18030"), "\xd6\xd0\xce\xc4");
    EXPECT_EQ(ConvertFromUtf8("中文", "BIG5-HKSCS"), "\xa4\xa4\xa4\xe5");
    EXPECT_EQ(ConvertFromUtf8("a中b", "WINDOWS-1252"), "a?b");
    EXPECT_EQ(ConvertFromUtf8("中", "UTF-8"), "中");
}

TEST(CharRefTest, TextAndAttributeValues)
{
    struct { const char* pszIn; ECharRefContext eContext; const char* pszOut; } cases[] = {
        { "Tom &amp; Jerry",        CHARREF_TEXT,      "Tom & Jerry" },
        { "&lt;b&gt; &quot;&apos;", CHARREF_TEXT,      "<b> \"'" },
        { "&#20013;&#x6587;&#X41;", CHARREF_TEXT,      "中文A" },
        { "&#65",                   CHARREF_TEXT,      "A" },             // ';' may be missing
        { "&#128;&#x9F;",           CHARREF_TEXT,      "€Ÿ" },            // windows-1252 meanings
        { "&#0;&#xD800;&#x110000;&#99999999999;", CHARREF_TEXT, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "&#;&#x;&# x",            CHARREF_TEXT,      "&#;&#x;&# x" },   // no digits: as written
        { "&nosuch; & &;",          CHARREF_TEXT,      "&nosuch; & &;" },
        { "&notit; &notin;",        CHARREF_TEXT,      "¬it; ∉" },        // longest name that exists
        { "&copy2024",              CHARREF_TEXT,      "©2024" },
        { "&NotNestedGreaterGreater;", CHARREF_TEXT,   "\xe2\xaa\xa2\xcc\xb8" },  // two code points
        { "a?x=1&amp;y=2",          CHARREF_ATTRIBUTE, "a?x=1&y=2" },
        { "a?x=1&copy=2&not",       CHARREF_ATTRIBUTE, "a?x=1&copy=2¬" },  // legacy rule in attributes
        { "&copy;=",                CHARREF_ATTRIBUTE, "©=" },
        { "",                       CHARREF_TEXT,      "" },
        { "&",                      CHARREF_TEXT,      "&" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeCharRefs(c.pszIn, c.eContext), c.pszOut) << c.pszIn;
}
