#include "platform/UrlRedact.h"

namespace platform {

QString RedactUrlCredentials(const QString& url) {
    const qsizetype at = url.lastIndexOf(u'@');
    if (at < 0)
        return url;
    // Only the schemes the upload speaks count as one; anything else (no
    // scheme at all, "meter:pw@host") is redacted from the very start, so
    // no text before the '@' can be taken for a scheme and shown.
    qsizetype start = 0;
    for (const QLatin1StringView scheme :
         {QLatin1StringView("http://"), QLatin1StringView("https://")})
        if (url.startsWith(scheme, Qt::CaseInsensitive) && at >= scheme.size())
            start = scheme.size();
    return url.left(start) + QStringLiteral("***") + url.mid(at);
}

} // namespace platform
