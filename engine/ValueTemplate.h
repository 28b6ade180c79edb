// ValueTemplate.h - the web post text's value templates: "<@@name@@>" takes
// a column's value, "<@#name#@>" the content of the file a linked-file column
// saved. Looking a single template up is FindTemplateColumn of the database
// layer, which shares the column description.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/db/DatabaseSink.h"

// The web post text with every column form replaced by the record's value,
// as it stands, and every file form of a linked-file column replaced by the
// form-encoded bytes of the file the column saved. A file that cannot be
// read, templates that name no column and "<@NOW@>", "<@NULL@>", "<@SKIP@>"
// are left as they are. Columns are processed in order with plain text
// replacement, so a value holding a later column's template is replaced again.
std::string SubstituteWebPost(std::string_view strText, const std::vector<std::string>& aRecord,
                              const std::vector<CDbColumn>& aColumns);
