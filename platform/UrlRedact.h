// Hiding the user name and password of a URL before it is shown or logged.
// Pure text work, safe on any thread.
#pragma once

#include <QString>

namespace platform {

// The URL with everything between its start (after a leading "http://" or
// "https://", any letter case) and its LAST '@' replaced by "***".
//
// Why the last '@': the settings take the URL as typed, unencoded, so a
// password may hold '/', '?', '#' and '@' itself, and no earlier '@' can
// be known to end the credentials ("meter:p/w@x?y@host/" may have the host
// "host"). Taking the last one never shows any of a password, whatever the
// URL's shape. The price is that an '@' in the path or query hides what
// comes before it too ("http://host/?mail=a@b" shows as "http://***@b");
// a URL without '@' is returned unchanged.
QString RedactUrlCredentials(const QString& url);

} // namespace platform
