// FormBodyFuzz.cpp - request bodies as anyone on the network may post them,
// through the form reader and on into the store's answers on an in-memory
// database. The first byte picks the operation.
#include "FormBody.h"
#include "StoreService.h"

#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

using namespace quarvex;

namespace {

CStoreService& Service()
{
    static std::unique_ptr<CStoreService> s_pService = [] {
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        auto pService = std::make_unique<CStoreService>(options);
        std::string strError;
        if (!pService->Open(":memory:", strError) || !pService->AddUser("alice", "pw", strError))
            std::abort();
        pService->AddExample("<root>example</root>");
        return pService;
    }();
    return *s_pService;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    if (nSize == 0)
        return 0;
    const std::string_view strBody(reinterpret_cast<const char*>(pData) + 1, nSize - 1);
    StoreForm form;
    if (!ParseFormBody(strBody, form))
        return 0;
    CStoreService& service = Service();
    std::string strReply;
    switch (pData[0] % 5) {
    case 0: strReply = service.Login(form, "127.0.0.1"); break;
    case 1: strReply = service.ListTasks(form); break;
    case 2: strReply = service.LoadTask(form); break;
    case 3: strReply = service.SaveTask(form); break;
    default: strReply = service.DeleteTask(form); break;
    }
    if (strReply.empty())
        std::abort();
    return 0;
}
