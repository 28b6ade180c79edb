// StoreDbApi.cpp - picks the store's database by the name it is given.
#include "StoreDbApi.h"

#include "StoreDb.h"
#include "StoreDbPg.h"

namespace quarvex {

std::unique_ptr<IStoreDb> MakeStoreDb(const std::string& strWhere)
{
    if (IsPostgresUri(strWhere))
        return std::make_unique<CStoreDbPg>();
    return std::make_unique<CStoreDb>();
}

} // namespace quarvex
