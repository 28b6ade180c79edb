// Settings.h - Config.dat, the installation's own settings: whether the task
// store login is remembered (and its values), the example tasks to load, and
// the task store's address. A missing file or element reads as empty settings
// with both flags off; saving creates whatever is missing.
#pragma once

#include "markup/MarkupDoc.h"

#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

// Top-level elements and their keys.
inline constexpr char CONFIG_FILE_NAME[] = "Config.dat";
inline constexpr char CONFIG_GENERAL[] = "general";
inline constexpr char CONFIG_EXAMPLE[] = "example";
inline constexpr char CONFIG_ACCOUNT[] = "account";
inline constexpr char CONFIG_SAVEUSERNAME[] = "saveusername";
inline constexpr char CONFIG_SAVEPASSWORD[] = "savepassword";
inline constexpr char CONFIG_SERVER[] = "server";  // Task store, "host[:port]".
inline constexpr char CONFIG_HELPURL[] = "helpurl";  // The online manual's address.
inline constexpr char CONFIG_USERNAME[] = "username";
inline constexpr char CONFIG_PASSWORD[] = "password";
inline constexpr char CONFIG_TASKID[] = "taskid";  // Repeated under example.

class CSettings {
public:
    // GetProgramDir() + "Config.dat".
    static std::string GetDefaultPath();

    // Replaces the settings by the file's. A file that is missing or cannot
    // be read gives empty settings and returns false.
    bool Load(const std::string& strPath);
    bool Load() { return Load(GetDefaultPath()); }
    // Writes every setting, creating the three elements and the two flags
    // when missing; keys this class does not know are kept. False when the
    // file cannot be written.
    bool Save(const std::string& strPath);
    bool Save() { return Save(GetDefaultPath()); }

    bool GetSaveUserName() const;
    void SetSaveUserName(bool bOn);
    bool GetSavePassword() const;
    void SetSavePassword(bool bOn);

    std::string GetUserName() const;
    void SetUserName(std::string_view name);
    std::string GetPassword() const;
    void SetPassword(std::string_view password);

    // The task store's address as "host[:port]"; empty when not set.
    std::string GetServer() const;
    void SetServer(std::string_view server);

    // Any other key of general (the manual's address, later additions);
    // empty when not set.
    std::string GetGeneralKey(std::string_view key) const;
    void SetGeneralKey(std::string_view key, std::string_view value);

    // The chosen example task ids, in order.
    std::vector<std::string> GetExampleTaskIds() const;
    // Removes every taskid and appends the given ones in order.
    void SetExampleTaskIds(const std::vector<std::string>& aIds);

    const CMarkupDoc& GetDocument() const { return m_doc; }

private:
    CMarkupNode* FindElement(const char* pszName) const;
    CMarkupNode* FindOrAddElement(const char* pszName);

    CMarkupDoc m_doc;
};

} // namespace quarvex
