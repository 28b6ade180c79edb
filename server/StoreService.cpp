// StoreService.cpp - the store's answers, its sessions and its accounts.
#include "StoreService.h"
#include "platform/AsciiText.h"

#include "store/BlobCodec.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace quarvex {

namespace {

const std::string& Field(const StoreForm& form, const char* pszName)
{
    static const std::string s_strEmpty;
    const auto it = form.find(pszName);
    return it == form.end() ? s_strEmpty : it->second;
}

std::string RandomHex(std::size_t nBytes)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string strBytes(nBytes, '\0');
    randombytes_buf(strBytes.data(), nBytes);
    std::string strHex;
    strHex.reserve(2 * nBytes);
    for (unsigned char c : strBytes) {
        strHex += s_szHex[c >> 4];
        strHex += s_szHex[c & 0xF];
    }
    return strHex;
}

// Sessions are looked up by a hash of the token, so a copy of the database
// file does not hand out live sessions.
std::string HashToken(const std::string& strToken)
{
    unsigned char aHash[32];
    crypto_generichash(aHash, sizeof(aHash), reinterpret_cast<const unsigned char*>(strToken.data()),
                       strToken.size(), nullptr, 0);
    return std::string(reinterpret_cast<char*>(aHash), sizeof(aHash));
}

bool IsUsableName(const std::string& strName, std::string& strError)
{
    if (strName.empty() || strName.size() > 64) {
        strError = "an account name has 1 to 64 bytes";
        return false;
    }
    for (unsigned char c : strName) {
        if (c < 0x20 || c == 0x7F) {
            strError = "an account name has no control characters";
            return false;
        }
    }
    return true;
}

bool IsUsablePassword(const std::string& strPassword, std::string& strError)
{
    if (strPassword.empty() || strPassword.size() > 1024) {
        strError = "a password has 1 to 1024 bytes";
        return false;
    }
    return true;
}

// A decimal number of 1 to 18 digits (no sign, no spaces).
bool ParseNumber(const std::string& strText, std::int64_t& nOut)
{
    if (strText.empty() || strText.size() > 18)
        return false;
    std::int64_t n = 0;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    nOut = n;
    return true;
}

// Holder names end up in the database and in the logs of whoever reads
// them: a few printable ASCII bytes, no spaces.
bool IsUsableHolder(const std::string& strHolder)
{
    if (strHolder.empty() || strHolder.size() > CStoreService::LEASE_MAX_HOLDER)
        return false;
    return std::all_of(strHolder.begin(), strHolder.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// Task ids are the store's own braced GUIDs; anything else names no task and
// is not worth a database look-up.
bool IsUsableTaskId(const std::string& strId)
{
    return !strId.empty() && strId.size() <= 64 &&
           std::all_of(strId.begin(), strId.end(), [](char c) { return c > 0x20 && c < 0x7F && c != '#' && c != ':'; });
}

// A ttl in seconds, clamped to what the store grants.
bool ParseTtl(const std::string& strText, int& nTtl)
{
    std::int64_t n = 0;
    if (!ParseNumber(strText, n))
        return false;
    nTtl = static_cast<int>(std::clamp<std::int64_t>(n, CStoreService::LEASE_MIN_TTL, CStoreService::LEASE_MAX_TTL));
    return true;
}

std::string LeaseReply(const std::vector<StoredLease>& aLeases, int nTtl)
{
    if (aLeases.empty())
        return CStoreService::EMPTY_LIST;
    std::string strReply;
    const std::string strTtl = std::to_string(nTtl);
    for (const StoredLease& lease : aLeases) {
        strReply += lease.strId;
        strReply += ':';
        strReply += std::to_string(lease.nFence);
        strReply += ':';
        strReply += strTtl;
        strReply += '#';
    }
    return strReply;
}

} // namespace

std::string MakeSessionToken()
{
    return RandomHex(16);
}

std::string MakeLoginReply(const std::string& strToken)
{
    // The client reads the token from the odd positions 1-29 and then from
    // 30-46; the even positions before 30 carry random filler.
    std::string strReply = RandomHex(24).substr(0, 47);
    strReply.resize(47, '0');
    for (std::size_t i = 0; i < 15 && i < strToken.size(); ++i)
        strReply[2 * i + 1] = strToken[i];
    for (std::size_t i = 15; i < 32 && i < strToken.size(); ++i)
        strReply[30 + (i - 15)] = strToken[i];
    return strReply;
}

std::string MakeTaskId()
{
    unsigned char a[16];
    randombytes_buf(a, sizeof(a));
    a[6] = static_cast<unsigned char>((a[6] & 0x0F) | 0x40);  // version 4: random
    a[8] = static_cast<unsigned char>((a[8] & 0x3F) | 0x80);
    char sz[39];
    std::snprintf(sz, sizeof(sz), "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13],
                  a[14], a[15]);
    return sz;
}

CStoreService::CStoreService(StoreOptions options)
    : m_options(std::move(options)),
      m_pDb(MakeStoreDb("")),
      m_pNameThrottle(std::make_unique<CLoginThrottle>(m_options.nNameFreeFailures, m_options.nLockBaseSeconds,
                                                       m_options.nLockMaxSeconds)),
      m_pAddressThrottle(std::make_unique<CLoginThrottle>(m_options.nAddressFreeFailures, m_options.nLockBaseSeconds,
                                                          m_options.nLockMaxSeconds)),
      m_nHashSlots(static_cast<std::uint64_t>(m_options.nConcurrentHashes > 0 ? m_options.nConcurrentHashes : 1))
{
    if (sodium_init() < 0)
        std::fputs("quarvex-store: libsodium could not start\n", stderr);
}

bool CStoreService::Open(const std::string& strDbPath, std::string& strError)
{
    std::unique_ptr<IStoreDb> pDb = MakeStoreDb(strDbPath);
    if (!pDb->Open(strDbPath, strError))
        return false;
    // Store servers that share a database share its failures too: a guesser
    // spreading attempts over them gains nothing.
    std::unique_ptr<ILoginThrottle> pName = pDb->MakeSharedThrottle(
        "name", m_options.nNameFreeFailures, m_options.nLockBaseSeconds, m_options.nLockMaxSeconds);
    std::unique_ptr<ILoginThrottle> pAddress = pDb->MakeSharedThrottle(
        "address", m_options.nAddressFreeFailures, m_options.nLockBaseSeconds, m_options.nLockMaxSeconds);
    if (pName && pAddress) {
        m_pNameThrottle = std::move(pName);
        m_pAddressThrottle = std::move(pAddress);
    }
    m_pDb = std::move(pDb);
    std::optional<std::string> dummy = HashPassword("no such account");
    if (!dummy) {
        strError = "password hashing failed (out of memory?)";
        return false;
    }
    m_strDummyHash = std::move(*dummy);
    return true;
}

std::int64_t CStoreService::Now() const
{
    if (m_options.fnNow)
        return m_options.fnNow();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t CStoreService::NowMs() const
{
    if (m_options.fnNowMs)
        return m_options.fnNowMs();
    if (m_options.fnNow)
        return m_options.fnNow() * 1000;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void CStoreService::AcquireHashSlot()
{
    std::unique_lock lock(m_hashMutex);
    const std::uint64_t nTicket = m_nTicketsIssued++;
    m_hashCv.wait(lock, [&] { return nTicket < m_nTicketsDone + m_nHashSlots; });
}

void CStoreService::ReleaseHashSlot()
{
    {
        std::lock_guard lock(m_hashMutex);
        ++m_nTicketsDone;
    }
    m_hashCv.notify_all();
}

std::optional<std::string> CStoreService::HashPassword(const std::string& strPassword)
{
    char szHash[crypto_pwhash_STRBYTES];
    AcquireHashSlot();
    const int nRc = crypto_pwhash_str_alg(szHash, strPassword.data(), strPassword.size(), m_options.nPwOpsLimit,
                                          m_options.nPwMemLimit, crypto_pwhash_ALG_ARGON2ID13);
    ReleaseHashSlot();
    if (nRc != 0)
        return std::nullopt;
    return std::string(szHash);
}

bool CStoreService::VerifyPassword(const std::string& strHash, const std::string& strPassword)
{
    if (strHash.empty() || strHash.size() >= crypto_pwhash_STRBYTES)
        return false;
    char szHash[crypto_pwhash_STRBYTES] = {};
    strHash.copy(szHash, strHash.size());
    AcquireHashSlot();
    const int nRc = crypto_pwhash_str_verify(szHash, strPassword.data(), strPassword.size());
    ReleaseHashSlot();
    return nRc == 0;
}

std::optional<std::int64_t> CStoreService::AccountOfToken(const std::string& strToken)
{
    if (strToken.size() != 32)
        return std::nullopt;
    const std::int64_t nNow = Now();
    return m_pDb->UseSession(HashToken(strToken), nNow, nNow - m_options.nSessionIdleSeconds);
}

std::optional<std::int64_t> CStoreService::ExampleAccount()
{
    std::optional<StoreAccount> account = m_pDb->FindAccount(EXAMPLE_ACCOUNT);
    if (!account)
        return std::nullopt;
    return account->nId;
}

std::string CStoreService::Login(const StoreForm& form, const std::string& strAddress)
{
    const std::string& strName = Field(form, "udata1");
    const std::string& strPassword = Field(form, "udata2");
    // A name no account can have is refused before it reaches the throttle:
    // the throttle keeps the names it counts, and a failure with a
    // megabyte-long name would otherwise keep a megabyte.
    std::string strIgnored;
    if (!IsUsableName(strName, strIgnored) || strPassword.empty() || strPassword.size() > 1024)
        return FAILED;

    const std::string strNameKey = LowerAscii(strName);
    const std::int64_t nNow = Now();
    // A locked-out name or address is refused without looking at the
    // password, so guessing gains nothing while the lock lasts. For the name
    // the attempt is counted before the slow hash: guesses sent in parallel
    // all reach the hash at once, and a check that only counted afterwards
    // would let every one of them through. An address is counted after the
    // hash: many honest clients may share one (an office behind NAT, a
    // proxy), and their logins in flight together must not lock each other
    // out; the connection limit per address bounds its guesses in flight.
    if (!m_pAddressThrottle->IsAllowed(strAddress, nNow) || !m_pNameThrottle->Reserve(strNameKey, nNow))
        return FAILED;

    std::optional<StoreAccount> account = m_pDb->FindAccount(strName);
    // Unknown names cost a hash too, so the time taken does not tell which
    // names exist.
    const bool bOk = VerifyPassword(account ? account->strPasswordHash : m_strDummyHash, strPassword) &&
                     account && !account->strPasswordHash.empty();
    if (!bOk) {
        m_pAddressThrottle->RecordFailure(strAddress, nNow);
        return FAILED;
    }
    m_pNameThrottle->RecordSuccess(strNameKey);

    const std::string strToken = MakeSessionToken();
    if (!m_pDb->AddSession(HashToken(strToken), account->nId, nNow, nNow - m_options.nSessionIdleSeconds,
                         m_options.nSessionsPerAccount))
        return FAILED;
    return MakeLoginReply(strToken);
}

std::string CStoreService::ListTasks(const StoreForm& form)
{
    const std::string& strToken = Field(form, "udata1");
    const std::optional<std::int64_t> account =
        strToken == EXAMPLE_ACCOUNT ? ExampleAccount() : AccountOfToken(strToken);
    if (!account)
        return strToken == EXAMPLE_ACCOUNT ? EMPTY_LIST : FAILED;
    const std::optional<std::vector<std::string>> ids = m_pDb->ListTasks(*account);
    if (!ids)
        return FAILED;
    if (ids->empty())
        return EMPTY_LIST;
    std::string strReply;
    strReply.reserve(ids->size() * 39);
    for (const std::string& strId : *ids) {
        strReply += strId;
        strReply += '#';
    }
    return strReply;
}

std::string CStoreService::LoadTask(const StoreForm& form)
{
    const std::string& strId = Field(form, "udata1");
    const std::string& strToken = Field(form, "udata2");
    const std::optional<std::int64_t> account = strToken.empty() ? ExampleAccount() : AccountOfToken(strToken);
    if (!account)
        return FAILED;
    const std::optional<StoredTask> task = m_pDb->LoadTask(*account, strId);
    if (!task)
        return FAILED;
    const std::optional<std::string> reply = BuildTaskReply(task->strKey, task->strBlob);
    return reply ? *reply : FAILED;
}

std::string CStoreService::SaveTask(const StoreForm& form)
{
    const std::optional<std::int64_t> account = AccountOfToken(Field(form, "udata1"));
    if (!account)
        return FAILED;
    StoredTask task{ Field(form, "udata3"), Field(form, "udata2") };
    if (!IsBlobKey(task.strKey) || !IsBase32(task.strBlob) || !IsWholeBlockBase32Length(task.strBlob.size()))
        return FAILED;

    const std::string& strId = Field(form, "udata4");
    const std::int64_t nNow = Now();
    const TaskQuota quota{ m_options.nMaxTasksPerAccount, m_options.nMaxBytesPerAccount };
    if (!strId.empty())
        return m_pDb->UpdateTask(*account, strId, task, nNow, &quota) ? task.strKey : FAILED;
    const std::string strNewId = MakeTaskId();
    return m_pDb->AddTask(*account, strNewId, task, nNow, &quota) ? strNewId : FAILED;
}

std::string CStoreService::DeleteTask(const StoreForm& form)
{
    const std::optional<std::int64_t> account = AccountOfToken(Field(form, "udata1"));
    if (!account)
        return FAILED;
    return m_pDb->DeleteTask(*account, Field(form, "udata2")) ? "ok" : FAILED;
}

std::string CStoreService::ListTaskVersions(const StoreForm& form)
{
    const std::string& strToken = Field(form, "udata1");
    const std::optional<std::int64_t> account =
        strToken == EXAMPLE_ACCOUNT ? ExampleAccount() : AccountOfToken(strToken);
    if (!account)
        return strToken == EXAMPLE_ACCOUNT ? EMPTY_LIST : FAILED;
    const std::optional<std::vector<StoredTaskVersion>> tasks = m_pDb->ListTaskVersions(*account);
    if (!tasks)
        return FAILED;
    if (tasks->empty())
        return EMPTY_LIST;
    std::string strReply;
    strReply.reserve(tasks->size() * 44);
    for (const StoredTaskVersion& task : *tasks) {
        strReply += task.strId;
        strReply += ':';
        strReply += std::to_string(task.nVersion);
        strReply += '#';
    }
    return strReply;
}

std::string CStoreService::LeaseTasks(const StoreForm& form)
{
    const std::optional<std::int64_t> account = AccountOfToken(Field(form, "udata1"));
    const std::string& strHolder = Field(form, "udata2");
    const std::string& strId = Field(form, "udata5");
    int nTtl = 0;
    if (!account || !IsUsableHolder(strHolder) || !ParseTtl(Field(form, "udata4"), nTtl))
        return FAILED;
    const std::int64_t nNowMs = NowMs();
    if (!strId.empty()) {
        if (!IsUsableTaskId(strId))
            return FAILED;
        std::optional<StoredLease> granted;
        if (!m_pDb->LeaseTask(*account, strHolder, strId, nNowMs, nTtl * 1000LL, granted))
            return FAILED;
        return granted ? LeaseReply({ *granted }, nTtl) : EMPTY_LIST;
    }
    std::int64_t nWant = 0;
    if (!ParseNumber(Field(form, "udata3"), nWant))
        return FAILED;
    const int nClamped = static_cast<int>(std::min<std::int64_t>(nWant, LEASE_MAX_WANT));
    const std::optional<std::vector<StoredLease>> granted =
        m_pDb->LeaseTasks(*account, strHolder, nClamped, nNowMs, nTtl * 1000LL);
    return granted ? LeaseReply(*granted, nTtl) : FAILED;
}

std::string CStoreService::RenewLeases(const StoreForm& form)
{
    const std::optional<std::int64_t> account = AccountOfToken(Field(form, "udata1"));
    const std::string& strHolder = Field(form, "udata2");
    int nTtl = 0;
    if (!account || !IsUsableHolder(strHolder) || !ParseTtl(Field(form, "udata3"), nTtl))
        return FAILED;
    // "ID:FENCE#" pieces; one malformed piece refuses the whole request, so
    // a client never believes it renewed what it did not.
    const std::string& strList = Field(form, "udata4");
    std::vector<StoredLease> aHeld;
    std::size_t nStart = 0;
    for (std::size_t nHash; (nHash = strList.find('#', nStart)) != std::string::npos; nStart = nHash + 1) {
        const std::string strPiece = strList.substr(nStart, nHash - nStart);
        const std::size_t nColon = strPiece.find(':');
        StoredLease held;
        if (nColon == std::string::npos || aHeld.size() >= LEASE_MAX_RENEW)
            return FAILED;
        held.strId = strPiece.substr(0, nColon);
        if (!IsUsableTaskId(held.strId) || !ParseNumber(strPiece.substr(nColon + 1), held.nFence))
            return FAILED;
        aHeld.push_back(std::move(held));
    }
    if (nStart != strList.size())
        return FAILED;
    const std::optional<std::vector<StoredLease>> kept =
        m_pDb->RenewLeases(*account, strHolder, aHeld, NowMs(), nTtl * 1000LL);
    return kept ? LeaseReply(*kept, nTtl) : FAILED;
}

std::string CStoreService::ReleaseLease(const StoreForm& form)
{
    const std::optional<std::int64_t> account = AccountOfToken(Field(form, "udata1"));
    const std::string& strHolder = Field(form, "udata2");
    const std::string& strId = Field(form, "udata3");
    std::int64_t nFence = 0;
    if (!account || !IsUsableHolder(strHolder) || !IsUsableTaskId(strId) ||
        !ParseNumber(Field(form, "udata4"), nFence))
        return FAILED;
    return m_pDb->ReleaseLease(*account, strHolder, strId, nFence) ? "ok" : FAILED;
}

bool CStoreService::AddUser(const std::string& strName, const std::string& strPassword, std::string& strError)
{
    if (!IsUsableName(strName, strError) || !IsUsablePassword(strPassword, strError))
        return false;
    const std::optional<std::string> hash = HashPassword(strPassword);
    if (!hash) {
        strError = "password hashing failed";
        return false;
    }
    if (m_pDb->FindAccount(strName)) {
        // The example account exists without a password once examples are
        // imported; giving it one is how it is opened for logins.
        const std::optional<StoreAccount> account = m_pDb->FindAccount(strName);
        if (!account->strPasswordHash.empty()) {
            strError = "the account exists";
            return false;
        }
        if (!m_pDb->SetPasswordHash(strName, *hash)) {
            strError = m_pDb->GetLastError();
            return false;
        }
        return true;
    }
    if (!m_pDb->AddAccount(strName, *hash)) {
        strError = m_pDb->GetLastError();
        return false;
    }
    return true;
}

bool CStoreService::SetPassword(const std::string& strName, const std::string& strPassword, std::string& strError)
{
    if (!IsUsablePassword(strPassword, strError))
        return false;
    if (!m_pDb->FindAccount(strName)) {
        strError = "no such account";
        return false;
    }
    const std::optional<std::string> hash = HashPassword(strPassword);
    if (!hash) {
        strError = "password hashing failed";
        return false;
    }
    if (!m_pDb->SetPasswordHash(strName, *hash)) {
        strError = m_pDb->GetLastError();
        return false;
    }
    return true;
}

bool CStoreService::DeleteUser(const std::string& strName, std::string& strError)
{
    if (!m_pDb->DeleteAccount(strName)) {
        strError = "no such account";
        return false;
    }
    return true;
}

std::optional<std::string> CStoreService::AddExample(const std::string& strText, bool* pbAdded)
{
    if (pbAdded != nullptr)
        *pbAdded = false;
    const std::optional<std::int64_t> account = m_pDb->EnsureAccount(EXAMPLE_ACCOUNT);
    if (!account)
        return std::nullopt;
    // Importing a folder again must not list every example twice. Blobs are
    // enciphered under a fresh key each time, so texts are compared after
    // decoding; a stored text reads back up to its first zero byte.
    const std::optional<std::vector<std::string>> ids = m_pDb->ListTasks(*account);
    if (!ids)
        return std::nullopt;
    const std::string_view strReadBack(strText.data(), std::min(strText.size(), strText.find('\0')));
    for (const std::string& strId : *ids) {
        const std::optional<StoredTask> stored = m_pDb->LoadTask(*account, strId);
        if (!stored)
            continue;
        const std::optional<std::string> reply = BuildTaskReply(stored->strKey, stored->strBlob);
        const std::optional<std::string> text = reply ? DecodeTaskReply(*reply) : std::nullopt;
        if (text && *text == strReadBack)
            return strId;
    }
    const std::string strKey = MakeBlobKey();
    const StoredTask task{ strKey, EncodeTaskBlob(strText, strKey) };
    const std::string strId = MakeTaskId();
    if (!m_pDb->AddTask(*account, strId, task, Now()))
        return std::nullopt;
    if (pbAdded != nullptr)
        *pbAdded = true;
    return strId;
}

} // namespace quarvex
