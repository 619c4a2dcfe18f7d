#include "widgets/CHostValidator.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>

namespace {
const int MAX_HOST_LENGTH = 253;
const int MAX_LABEL_LENGTH = 63;
} // namespace

CHostValidator::CHostValidator(QObject* parent) : QValidator(parent) {}

QValidator::State CHostValidator::validate(QString& input, int& pos) const
{
    Q_UNUSED(pos)
    if (input.isEmpty())
        return Intermediate;
    if (input.contains(QLatin1Char(':')))
        return validateIpv6(input);
    static const QRegularExpression digitsAndDots(QStringLiteral("^[0-9.]+$"));
    // A name ends in letters, so digits and points alone must make an IPv4 address.
    if (digitsAndDots.match(input).hasMatch())
        return validateIpv4(input);
    return validateHostName(input);
}

QValidator::State CHostValidator::validateIpv4(const QString& input)
{
    const QStringList groups = input.split(QLatin1Char('.'));
    if (groups.size() > 4)
        return Invalid;
    for (int i = 0; i < groups.size(); ++i) {
        const QString& group = groups.at(i);
        if (group.isEmpty() && i + 1 < groups.size())
            return Invalid;
        if (group.size() > 3 || group.toInt() > 255)
            return Invalid;
    }
    return groups.size() == 4 && !groups.last().isEmpty() ? Acceptable : Intermediate;
}

QValidator::State CHostValidator::validateIpv6(const QString& input)
{
    static const QRegularExpression allowed(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    if (!allowed.match(input).hasMatch() || input.size() > 45 || input.contains(QStringLiteral(":::")))
        return Invalid;
    QHostAddress address;
    if (address.setAddress(input) && address.protocol() == QAbstractSocket::IPv6Protocol)
        return Acceptable;
    return Intermediate;
}

QValidator::State CHostValidator::validateHostName(const QString& input)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?$"));
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.-]+$"));
    if (input.size() > MAX_HOST_LENGTH || !allowed.match(input).hasMatch())
        return Invalid;
    const QStringList labels = input.split(QLatin1Char('.'));
    State state = Acceptable;
    for (int i = 0; i < labels.size(); ++i) {
        const QString& part = labels.at(i);
        if (part.size() > MAX_LABEL_LENGTH || part.startsWith(QLatin1Char('-')))
            return Invalid;
        // An empty label is allowed only while the next one is being typed.
        if (part.isEmpty() && i + 1 < labels.size())
            return Invalid;
        if (!label.match(part).hasMatch())
            state = Intermediate;
    }
    return state;
}
