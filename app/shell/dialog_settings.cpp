#include "shell/dialog_settings.h"

// Actions cannot be compared, so writing one always publishes.
#define ZK_SETTER(Class, Setter, field, Type)              \
  void Class::Setter(Type value) {                         \
    if (field == value) return;                            \
    field = value;                                         \
    emit changed();                                        \
  }
#define ZK_ACTION_SETTER(Class, Setter, field) \
  void Class::Setter(DialogAction action) {    \
    field = std::move(action);                 \
    emit changed();                            \
  }

ZK_SETTER(DialogConfirmSetting, setTitle, title_, const QString&)
ZK_SETTER(DialogConfirmSetting, setInfo, info_, const QString&)
ZK_SETTER(DialogConfirmSetting, setIsBtnOK, isBtnOK_, bool)
ZK_SETTER(DialogConfirmSetting, setIsBtnCancel, isBtnCancel_, bool)
ZK_ACTION_SETTER(DialogConfirmSetting, setOkAction, okAction_)
ZK_ACTION_SETTER(DialogConfirmSetting, setCancelAction, cancelAction_)

ZK_SETTER(DialogLoadingSetting, setTitle, title_, const QString&)
ZK_SETTER(DialogLoadingSetting, setMaxWaiting, maxWaiting_, int)
ZK_ACTION_SETTER(DialogLoadingSetting, setActionTimeout, actionTimeout_)

ZK_SETTER(DialogInput_Setting, setTitle, title_, const QString&)
ZK_SETTER(DialogInput_Setting, setValue, value_, const QString&)
ZK_SETTER(DialogInput_Setting, setTips, tips_, const QString&)
ZK_SETTER(DialogInput_Setting, setLenMin, lenMin_, int)
ZK_SETTER(DialogInput_Setting, setLenMax, lenMax_, int)
ZK_SETTER(DialogInput_Setting, setIsAllowEmpty, isAllowEmpty_, bool)
ZK_SETTER(DialogInput_Setting, setValidType, validType_, DialogInput_Setting_ValidType)
ZK_ACTION_SETTER(DialogInput_Setting, setOkAction, okAction_)

void DialogInput_Setting::setAll(const QString& title, const QString& value, DialogAction okAction, int lenMin,
                                 int lenMax, DialogInput_Setting_ValidType validType, bool isAllowEmpty) {
  setTitle(title);
  setValue(value);
  setOkAction(std::move(okAction));
  setLenMin(lenMin);
  setLenMax(lenMax);
  setValidType(validType);
  setIsAllowEmpty(isAllowEmpty);
}
