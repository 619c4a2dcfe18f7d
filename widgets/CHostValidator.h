#pragma once

#include <QValidator>

// Accepts what a server can be reached by: a dotted IPv4 address, an IPv6
// address or a host name. Typing may pass through prefixes of these; text
// that can become none of them is refused.
class CHostValidator : public QValidator
{
    Q_OBJECT
public:
    explicit CHostValidator(QObject* parent = nullptr);

    State validate(QString& input, int& pos) const override;

private:
    static State validateIpv4(const QString& input);
    static State validateIpv6(const QString& input);
    static State validateHostName(const QString& input);
};
