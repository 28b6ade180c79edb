// TemplateColumnTest.cpp - which column a database field's template names.
#include "DatabaseSink.h"

#include <gtest/gtest.h>

TEST(FindTemplateColumnTest, WholeReferencesOnly)
{
    const std::vector<CDbColumn> aColumns = { { "name", false }, { "price", true }, { "price", false } };
    struct { const char* pszTemplate; int nColumn; } cases[] = {
        { "<@@price@@>", 1 },   // the first of two equal names wins
        { "<@#price#@>", 1 },   // the file form finds the same column
        { "<@@Price@@>", -1 },  // names compare with their case
        { "<@@name@@>", 0 },
        { "x<@@name@@>", -1 },  // text before the reference
        { "<@@name@@>x", -1 },  // text after it
        { "<@NOW@>", -1 },
        { "<@@@@>", -1 },       // six characters: too short to hold a name
        { "", -1 },
        { "name", -1 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindTemplateColumn(c.pszTemplate, aColumns), c.nColumn) << c.pszTemplate;
}
