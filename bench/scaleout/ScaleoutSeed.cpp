// ScaleoutSeed.cpp - fills one store account with the scale-out run's tasks:
// task N reads PAGEBASE/N and posts every new record to POSTURL with its own
// number and the record's key, so the post log tells task and record apart.
//   scaleout_seed SERVER USER TASKS PERIOD PAGEBASE POSTURL   (password: $QUARVEX_PASSWORD)
#include "store/StoreClient.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace quarvex;

namespace {

// '<' and '>' of the value templates are written as entities in the markup
// text; those two are its only entities, so '&' stands as it is.
std::string Escape(const std::string& str)
{
    std::string strOut;
    for (char c : str)
        strOut += c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return strOut;
}

std::string Definition(int nIndex, int nPeriod, const std::string& strPage, const std::string& strPost)
{
    const std::string strVar = "task=" + std::to_string(nIndex) + "&key=<@@key@@>";
    return "<root><general><taskname>scale " + std::to_string(nIndex) + "</taskname><frequence>" +
           std::to_string(nPeriod) + "</frequence><autoload>1</autoload></general><network><url>" +
           Escape(strPage) + "</url><refurl></refurl><method>0</method><webpost>1</webpost>"
           "<webpostmethod>1</webpostmethod><webposturl>" + Escape(strPost) + "</webposturl><webpostvar>" +
           Escape(strVar) + "</webpostvar></network><database><type>0</type><savetodb>0</savetodb></database>"
           "<location><path>html@body@table@tr</path><step>#tr</step>"
           "<data><type>0</type><name>key</name><path>@td</path><order>1</order><only>1</only></data>"
           "<data><type>0</type><name>value</name><path>@td#td</path><order>2</order><only>0</only></data>"
           "</location></root>";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: scaleout_seed SERVER USER TASKS PERIOD PAGEBASE POSTURL\n");
        return 2;
    }
    const char* pszPassword = std::getenv("QUARVEX_PASSWORD");
    const int nTasks = std::atoi(argv[3]);
    const int nPeriod = std::atoi(argv[4]);
    if (pszPassword == nullptr || nTasks < 1 || nTasks > 100000 || nPeriod < 1) {
        std::fprintf(stderr, "scaleout_seed: set QUARVEX_PASSWORD; TASKS and PERIOD must be positive\n");
        return 2;
    }
    CStoreClient client(argv[1]);
    if (client.Login(argv[2], pszPassword) != StoreLogin::OK) {
        std::fprintf(stderr, "scaleout_seed: login failed\n");
        return 1;
    }
    const std::string strBase = argv[5];
    for (int i = 0; i < nTasks; ++i) {
        if (!client.AddTask(Definition(i, nPeriod, strBase + "/" + std::to_string(i), argv[6]))) {
            std::fprintf(stderr, "scaleout_seed: adding task %d failed\n", i);
            return 1;
        }
    }
    std::printf("%d tasks added\n", nTasks);
    return 0;
}
