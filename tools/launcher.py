"""What the bundle's update.cmd runs: the updater, and after a failure one or two lines in the
person's language on what happened and what to do.

The updater's own output and error stay exactly as they are: the error is shown by the
interpreter's usual hook first, and only then are the lines added. The language is decided as
the updater decides its own: Russian when Windows reports the locale Russian_Russia.
"""

import locale
import sys

# What happened, and what to do: (English, Russian).
HINTS = {
    "unreachable": (
        "The update server could not be reached, or the connection broke off. Nothing was changed.\n"
        "Check the Internet connection and run the update again later.",
        "Не удалось связаться с сервером обновлений, или связь прервалась. Ничего не изменено.\n"
        "Проверьте подключение к интернету и запустите обновление позже."),
    "keys": (
        "The update server refused this updater's keys. Nothing was changed.\n"
        "The bot's publisher must send you a new updater (a new bin folder).",
        "Сервер обновлений не принял ключи этой программы обновления. Ничего не изменено.\n"
        "Разработчик бота должен прислать новую программу обновления (новую папку bin)."),
    "refused": (
        "The update server refused the download. Nothing was changed.\n"
        "Try again later, or tell the bot's publisher.",
        "Сервер обновлений отказал в загрузке. Ничего не изменено.\n"
        "Попробуйте позже или сообщите разработчику бота."),
    "running": (
        "The bot is running, so its file cannot be replaced.\n"
        "Close the bot and run the update again.",
        "Бот запущен, поэтому его файл нельзя заменить.\n"
        "Закройте бота и запустите обновление снова."),
    "other": (
        "The update did not finish. Run it again later; if it fails again, send the text of this\n"
        "window to the bot's publisher.",
        "Обновление не завершено. Запустите его позже ещё раз; если ошибка повторится, отправьте\n"
        "текст этого окна разработчику бота."),
}
# The store's answers that mean it does not know the key pair or its secret.
REFUSED_KEYS = {"InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken"}


def failure_kind(error):
    """Which of HINTS fits `error`, looking through the errors it wraps; None for Ctrl-C."""
    try:
        from botocore.exceptions import ClientError, ConnectionError, HTTPClientError
    except ImportError:
        return "other"
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, KeyboardInterrupt):
            return None
        if isinstance(error, PermissionError):
            return "running"
        if isinstance(error, (ConnectionError, HTTPClientError)):
            return "unreachable"
        if isinstance(error, ClientError):
            code = str(error.response.get("Error", {}).get("Code", ""))
            return "keys" if code in REFUSED_KEYS else "refused"
        # The transfer library gives up with an error of its own that holds the last one.
        error = getattr(error, "last_exception", None) or error.__cause__ or error.__context__
    return "other"


def show_hint(kind, error, trace, usual_hook=sys.excepthook):
    usual_hook(kind, error, trace)
    try:
        which = failure_kind(error)
        if which:
            russian = locale.getlocale()[0] == "Russian_Russia"
            print("\n" + HINTS[which][russian], file=sys.stderr, flush=True)
    except Exception:  # the hint is a courtesy: it never hides the error above
        pass


if __name__ == "__main__":
    sys.excepthook = show_hint
    import updater_core  # noqa: F401  (the import is the whole updater; it ends with SystemExit)
