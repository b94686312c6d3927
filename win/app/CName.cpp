#include "win/app/CName.h"

#include "win/app/EntryDialog.h"
#include "win/app/TrimmedText.h"

#include <QLineEdit>
#include <QValidator>

namespace pallorwind::win {
namespace {

// A DNS-SD instance name holds at most 63 bytes of UTF-8: the edit takes at
// most 63 characters and no more bytes than that.
constexpr int kMaxName = 63;

class NameValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        return input.toUtf8().size() <= kMaxName ? Acceptable : Invalid;
    }
};

} // namespace

CName::CName(QWidget* parent) : QDialog(parent) {
    m_edit = BuildEntryDialog(this, QStringLiteral("Choose Name"), QStringLiteral("Name"));
    m_edit->setMaxLength(kMaxName);
    m_edit->setValidator(new NameValidator(m_edit));
}

void CName::accept() {
    std::string name = TrimmedText(m_edit->text().toStdString());
    if (name.empty())
        return; // stays open, without a word
    m_name = std::move(name);
    QDialog::accept();
}

} // namespace pallorwind::win
