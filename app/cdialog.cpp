// Unit cdialog: the companion libraries of TMainForm (the update check and
// the about dialog). Until the libraries are bound, the update button stays
// hidden and "Info" shows the maker's notice.

#include "app/main.h"

#include "app/application.h"
#include "common/cp1252.h"
#include "common/shortstring.h"

#include <QMessageBox>
#include <QPushButton>

namespace chronark {

namespace {

TShortString CopyShortString(const unsigned char* Source)
{
    TShortString Copy;
    if (Source)
        Copy.Assign(std::string_view(reinterpret_cast<const char*>(Source) + 1, Source[0]));
    return Copy;
}

const unsigned char* AsArgument(const TShortString& Text)
{
    return reinterpret_cast<const unsigned char*>(&Text);
}

} // namespace

bool TMainForm::LoadUpdateLibrary()
{
    return false;
}

bool TMainForm::LoadAboutLibrary()
{
    return false;
}

void TMainForm::FreeAboutLibrary()
{
    FAboutEntry = nullptr;
    FAboutModule = nullptr;
}

void TMainForm::FreeUpdateLibrary()
{
    FUpdateEntry = nullptr;
    FUpdateModule = nullptr;
}

void TMainForm::ShowAboutDialog(uintptr_t Owner, const unsigned char* Name, const unsigned char* Text2,
                                const unsigned char* Text3, const unsigned char* Text4, uintptr_t IconHandle)
{
    const TShortString NameCopy = CopyShortString(Name);
    const TShortString Text2Copy = CopyShortString(Text2);
    const TShortString Text3Copy = CopyShortString(Text3);
    const TShortString Text4Copy = CopyShortString(Text4);
    (void)Owner;
    (void)IconHandle;
    (void)NameCopy;
    (void)Text2Copy;
    (void)Text3Copy;
    (void)Text4Copy;
    QMessageBox Box(QMessageBox::NoIcon, ApplicationTitle(),
                    QStringLiteral("Ein Programm von Tolvane Software.\r\n\r\nhttps://www.tolvane-software.example/"),
                    QMessageBox::NoButton, this);
    Box.setObjectName("AboutBox");
    Box.setTextFormat(Qt::PlainText);
    QPushButton* Ok = Box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    Box.setDefaultButton(Ok);
    Box.setEscapeButton(Ok);
    Box.exec();
}

void TMainForm::ToolButton6Click()
{
    // The button is visible only while the update library is bound.
}

void TMainForm::ToolButton8Click()
{
    TShortString Name;
    Name.Assign(Utf8ToCp1252((FAppTitle + u' ').toStdString()));
    const TShortString Empty;
    ShowAboutDialog(reinterpret_cast<uintptr_t>(static_cast<QWidget*>(this)), AsArgument(Name), AsArgument(Empty),
                    AsArgument(Empty), AsArgument(Empty), reinterpret_cast<uintptr_t>(&FIcon));
}

} // namespace chronark
