// The program's asynchronous fetcher driven to its end: for tests that have
// nothing else to do while a request runs. Main thread, QCoreApplication.
#pragma once

#include "net/uHTML.h"

#include <QEventLoop>
#include <string>

inline FetchResult FetchUrl(const FetchRequest& request, const FetchOptions& options = {}) {
    const auto fetcher = NewUrlFetcher(options);
    FetchResult result;
    QEventLoop loop;
    fetcher->Start(request, [&](const FetchResult& r) {
        result = r;
        loop.quit();
    });
    loop.exec();
    return result;
}

inline FetchResult FetchUrl(const std::string& url, const FetchOptions& options = {}) {
    FetchRequest request;
    request.Url = url;
    return FetchUrl(request, options);
}
