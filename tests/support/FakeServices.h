#pragma once

#include <QtGlobal>

#include "support/HttpFake.h"

// The three cloud services (OpenAI, DashScope, DeepSeek) as fakes on
// loopback, with the base-address variables pointing at them for the life of
// this object, so that no request can leave the machine.
class FakeServices
{
public:
    FakeServices()
    {
        qputenv("TALVEX_OPENAI_BASE_URL", openAI.url().toEncoded());
        qputenv("TALVEX_DASHSCOPE_BASE_URL", dashScope.url().toEncoded());
        qputenv("TALVEX_DEEPSEEK_BASE_URL", deepSeek.url().toEncoded());
    }
    ~FakeServices()
    {
        qunsetenv("TALVEX_OPENAI_BASE_URL");
        qunsetenv("TALVEX_DASHSCOPE_BASE_URL");
        qunsetenv("TALVEX_DEEPSEEK_BASE_URL");
    }
    FakeServices(const FakeServices&) = delete;
    FakeServices& operator=(const FakeServices&) = delete;

    HttpFake openAI;
    HttpFake dashScope;
    HttpFake deepSeek;
};
