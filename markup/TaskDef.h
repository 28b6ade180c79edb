// TaskDef.h - the task definition's keys and value rules, kept in one place:
// a CMarkupDoc with one top-level <root> holding <general>, <network>,
// <database> and any number of <location> blocks. Every value is a byte
// string; flags are "1"/"0", numbers decimal texts, a missing key reads "".
#pragma once

#include "markup/MarkupDoc.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

// Top-level element and the paths from the document to its parts.
inline constexpr char KEY_ROOT[] = "root";
inline constexpr char PATH_GENERAL[] = "root@general";
inline constexpr char PATH_NETWORK[] = "root@network";
inline constexpr char PATH_AUTHENTICATION[] = "root@network@authentication";
inline constexpr char PATH_PARAMETER[] = "root@network@parameter";
inline constexpr char PATH_DATABASE[] = "root@database";
inline constexpr char PATH_DATAFIELD[] = "root@database@datafield";
inline constexpr char PATH_LOCATION[] = "root@location";

// Elements under root; "#location" / "#datafield" walk repeated ones.
inline constexpr char KEY_GENERAL[] = "general";
inline constexpr char KEY_NETWORK[] = "network";
inline constexpr char KEY_DATABASE[] = "database";  // Also the database-name key inside it.
inline constexpr char KEY_LOCATION[] = "location";  // Also a nested block, and a linked page's blocks.

// root@general
inline constexpr char KEY_TASKNAME[] = "taskname";
inline constexpr char KEY_FREQUENCE[] = "frequence";  // Seconds between runs.
inline constexpr char KEY_AUTOLOAD[] = "autoload";

// root@network
inline constexpr char KEY_URL[] = "url";
inline constexpr char KEY_REFURL[] = "refurl";
inline constexpr char KEY_METHOD[] = "method";
inline constexpr char KEY_AUTHENTICATION[] = "authentication";  // Present only when ticked.
inline constexpr char KEY_PARAMETER[] = "parameter";            // Repeated; name and value.
inline constexpr char KEY_WEBPOST[] = "webpost";
inline constexpr char KEY_WEBPOSTMETHOD[] = "webpostmethod";
inline constexpr char KEY_WEBPOSTURL[] = "webposturl";
inline constexpr char KEY_WEBPOSTVAR[] = "webpostvar";
inline constexpr char KEY_CHARSET[] = "charset";      // The page's charset; empty: automatic.
inline constexpr char KEY_HEADER[] = "header";        // Repeated; name and value, sent on every request.
inline constexpr char KEY_USERAGENT[] = "useragent";  // Empty: the client's own User-Agent.
// Optional: seconds a whole page exchange may take; missing or 0 reads as 60.
inline constexpr char KEY_TIMEOUT[] = "timeout";

// Shared by authentication (name, pass), parameter and datafield (name,
// value), location and data (name).
inline constexpr char KEY_NAME[] = "name";
inline constexpr char KEY_PASS[] = "pass";
inline constexpr char KEY_VALUE[] = "value";

// root@database
inline constexpr char KEY_TYPE[] = "type";  // Also the type code of a data element.
inline constexpr char KEY_SERVER[] = "server";
inline constexpr char KEY_ACCOUNT[] = "account";
inline constexpr char KEY_PASSWORD[] = "password";
inline constexpr char KEY_SAVETODB[] = "savetodb";
inline constexpr char KEY_TABLENAME[] = "tablename";
inline constexpr char KEY_DATAFIELD[] = "datafield";  // Repeated; name and value.

// location
inline constexpr char KEY_PATH[] = "path";
inline constexpr char KEY_STEP[] = "step";
inline constexpr char KEY_DATA[] = "data";  // Repeated.

// data
inline constexpr char KEY_ORDER[] = "order";
inline constexpr char KEY_ONLY[] = "only";
inline constexpr char KEY_ATTRIBUTE[] = "attribute";
inline constexpr char KEY_SPLITTER[] = "splitter";
inline constexpr char KEY_DIRECTORY[] = "directory";

inline constexpr char FLAG_ON[] = "1";
inline constexpr char FLAG_OFF[] = "0";

// Names shown and used as column names when a block or field has none.
inline constexpr char DEFAULT_LOCATION_NAME[] = "区块";
inline constexpr char DEFAULT_DATA_NAME[] = "数据";

// The refresh period the editor accepts, in seconds.
inline constexpr int FREQUENCE_MIN = 1;
inline constexpr int FREQUENCE_MAX = 2592000;

enum {
    METHOD_GET = 0,
    METHOD_POST = 1,
};

// root@database@type
enum {
    DB_ACCESS = 0,     // A local database file (SQLite here).
    DB_SQLSERVER = 1,  // A server reached through ODBC.
    DB_MYSQL = 2,
};

// data@type: what a field extracts.
enum {
    DATA_TEXT = 0,
    DATA_INNER_HTML = 1,
    DATA_OUTER_HTML = 2,
    DATA_ATTRIBUTE = 3,
    DATA_LINKED_PAGE = 4,
    DATA_LINKED_FILE = 5,
};

// Leading-digit decimal: optional blanks, an optional sign, then digits up to
// the first other byte. Null, empty or non-numeric text reads 0; values past
// the 32-bit range stop at INT32_MIN / INT32_MAX instead of wrapping.
int32_t ReadDecimal(const char* pszText);

// The value of key under pNode; "" when pNode is null, the key is missing or
// has no text. The view points into the tree.
std::string_view GetKeyText(const CMarkupNode* pNode, std::string_view key);
// The value of key read with ReadDecimal; 0 when missing.
int32_t GetKeyNumber(const CMarkupNode* pNode, std::string_view key);
// Any non-zero number is on; missing is off.
bool GetKeyFlag(const CMarkupNode* pNode, std::string_view key);

// Create-on-write setters (CMarkupNode::SetChildValue); pNode must not be null.
void SetKeyText(CMarkupNode* pNode, std::string_view key, std::string_view value);
void SetKeyNumber(CMarkupNode* pNode, std::string_view key, int32_t nValue);
void SetKeyFlag(CMarkupNode* pNode, std::string_view key, bool bOn);

// The child element name of pNode, created (appended) when missing; for
// general, network and database, which the editor adds on first save.
CMarkupNode* FindOrAppendChild(CMarkupNode* pNode, std::string_view name);

// Removes every child element called name from pNode (the editor rewrites
// repeated elements such as parameter and datafield as a whole).
void RemoveChildren(CMarkupNode* pNode, std::string_view name);

// A repeated element with the keys name and value: parameter, datafield.
struct NameValue {
    std::string strName;
    std::string strValue;
};
// Every element called element under pParent, in order, as name/value
// pairs (missing keys read ""); empty when pParent is null.
std::vector<NameValue> GetNameValueList(const CMarkupNode* pParent, std::string_view element);
// Removes every element called element from pParent and appends one per
// pair, in order, each written <element><name>..</name><value>..</value>.
void SetNameValueList(CMarkupNode* pParent, std::string_view element, const std::vector<NameValue>& aPairs);

// Makes doc a new definition: one top-level <root> without children.
// Returns the root.
CMarkupNode* NewTaskDefinition(CMarkupDoc& doc);

// The display and column name of a location or data element: its name key,
// or "区块" / "数据" when that is empty.
std::string GetLocationName(const CMarkupNode* pLocation);
std::string GetDataName(const CMarkupNode* pData);

// The node path of a location or data element from the top of its page: its
// own path after the full path of the enclosing location. A block directly
// under root, or under a data element (a linked page), starts afresh.
std::string GetFullPath(const CMarkupNode* pNode);

// Where a linked file is saved: an empty directory means the program
// directory itself, one starting with "/" is used unchanged, any other is
// taken inside the program directory (strProgramDir, ending in "/"). No '/'
// is added at the end.
std::string ResolveSaveDirectory(std::string_view directory, std::string_view programDir);
// The same against GetProgramDir().
std::string ResolveSaveDirectory(std::string_view directory);

} // namespace quarvex
