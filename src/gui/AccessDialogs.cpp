#include "gui/AccessDialogs.h"

#include <arpa/inet.h>

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/Seams.h"
#include "net/NetUtil.h"

namespace kova::gui {
namespace {

// A dialog titled like every box of the window, with its text, the field and OK / Cancel.
QDialogButtonBox* Frame(QDialog& dialog, const QString& text, QWidget* field) {
  dialog.setWindowTitle(kAppTitle);
  auto* layout = new QVBoxLayout(&dialog);
  auto* label = new QLabel(text, &dialog);
  label->setWordWrap(true);
  layout->addWidget(label);
  layout->addWidget(field);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  return buttons;
}

QString AddressText(const TSockAddr& a) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* bytes = a.sa.sa_family == AF_INET ? static_cast<const void*>(&a.in4.sin_addr)
                                                : static_cast<const void*>(&a.in6.sin6_addr);
  ::inet_ntop(a.sa.sa_family, bytes, text, sizeof text);
  return QString::fromLatin1(text);
}

}  // namespace

bool AskAllowListText(QWidget* parent, QString& text) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("AllowListDialog"));
  auto* edit = new QPlainTextEdit(&dialog);
  edit->setObjectName(QStringLiteral("EdAllowList"));
  edit->setPlainText(text);
  Frame(dialog,
        QStringLiteral("只允许下列客户端连接，每行一项：IPv4 或 IPv6 地址，或 CIDR 形式的网段 "
                       "(如 192.168.1.0/24、fd00::/8)。# 之后为注释。留空表示允许所有客户端。\n"
                       "新列表用于之后接入的客户端，已有的连接不受影响。"),
        edit);
  dialog.resize(420, 320);
  if (!TUiSeam::RunDialog(dialog)) return false;
  text = edit->toPlainText();
  return true;
}

std::vector<TListenChoice> ListenChoices() {
  std::vector<TListenChoice> choices = {
      {QStringLiteral("本机地址 (默认)"), QString()},
      {QStringLiteral("仅本机 (127.0.0.1)"), QStringLiteral("127.0.0.1")},
      {QStringLiteral("所有地址 (0.0.0.0 和 ::)"), QStringLiteral("::")},
  };
  for (const TInterfaceAddress& i : InterfaceAddresses()) {
    if (!i.Up || (i.Address.sa.sa_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&i.Address.in6.sin6_addr)))
      continue;
    const QString address = AddressText(i.Address);
    choices.push_back({QString::fromStdString(i.Name) + QStringLiteral(": ") + address, address});
  }
  return choices;
}

bool AskListenAddress(QWidget* parent, QString& address) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("ListenAddressDialog"));
  auto* box = new QComboBox(&dialog);
  box->setObjectName(QStringLiteral("CbListenAddress"));
  for (const TListenChoice& c : ListenChoices()) box->addItem(c.Label, c.Address);
  // An address chosen earlier whose interface has gone stays on offer as it was.
  if (box->findData(address) < 0) box->addItem(address, address);
  box->setCurrentIndex(box->findData(address));
  Frame(dialog, QStringLiteral("转发服务监听的地址 (下次启动时生效)："), box);
  if (!TUiSeam::RunDialog(dialog)) return false;
  address = box->currentData().toString();
  return true;
}

}  // namespace kova::gui
