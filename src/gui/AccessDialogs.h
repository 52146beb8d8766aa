#pragma once
// The listening port's two settings dialogs: which clients may connect, and where the service
// listens. Neither is saved between runs, like every other setting of the window.

#include <QString>
#include <vector>

class QWidget;

namespace kova::gui {

// The allow-list as text, one entry per line, '#' comments. True with `text` replaced when the
// user pressed OK; the caller judges the entries.
bool AskAllowListText(QWidget* parent, QString& text);

struct TListenChoice {
  QString Label;
  QString Address;  // empty: the machine's own address
};
// The machine's own address, this machine only, every address, then each address of an
// interface that is up (link-local IPv6 ones left out: they cannot be bound without a scope).
std::vector<TListenChoice> ListenChoices();
// True with `address` replaced when the user pressed OK.
bool AskListenAddress(QWidget* parent, QString& address);

}  // namespace kova::gui
