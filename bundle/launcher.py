"""What the bundle's update.cmd runs: the updater, and after a failure a short account in the
person's language: what happened and what to do (two lines), and the file that holds the error.

The updater's own messages stay exactly as they are. Its error goes, whole and with the date and
time, to update.log beside this file (the last few failures, run after run), and not into the
window, unless asked for: `update.cmd --details`, or the variable UPDATER_DETAILS=1; then the
interpreter's usual hook shows it first, as it always did. When the log cannot be written, the
error is shown in the window. Ctrl-C is a plain stop: nothing is added. The language is decided as
the updater decides its own: Russian when Windows reports the locale Russian_Russia.
"""

import datetime
import locale
import os
import re
import sys
import traceback

# What happened, and what to do: (English, Russian).
HINTS = {
    "unreachable": (
        "The update server could not be reached, or the connection broke off. Nothing was changed.\n"
        "Check the Internet connection and run the update again later.",
        "Не удалось связаться с сервером обновлений, или связь прервалась. Ничего не изменено.\n"
        "Проверьте подключение к интернету и запустите обновление позже."),
    "stalled": (
        "The update server sends next to nothing, or does not answer. Nothing was changed.\n"
        "Check the Internet connection and run the update again later.",
        "Сервер обновлений почти ничего не присылает или не отвечает. Ничего не изменено.\n"
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
    # The updater's own refusals, by the `refusal` its error carries: a row for each kind the
    # module raises (the `refusal_` names of updater_core/names.hpp; tests/windows/test_bundle.py
    # holds the two lists together), "stalled" above among them.
    "unsigned": (
        "The new version of the bot is not signed by its publisher, so it was refused. Nothing was changed.\n"
        "Tell the bot's publisher: the release must be published signed.",
        "Новая версия бота не подписана разработчиком, поэтому она отклонена. Ничего не изменено.\n"
        "Сообщите разработчику бота: выпуск нужно опубликовать с подписью."),
    "older": (
        "The update server offers an older version of the bot than yours, so it was refused. Nothing was changed.\n"
        "Tell the bot's publisher: publish a release numbered at least the one the log below names.",
        "Сервер обновлений предлагает версию бота старше вашей, поэтому она отклонена. Ничего не изменено.\n"
        "Сообщите разработчику бота: нужно опубликовать выпуск с номером не ниже названного в отчёте ниже."),
    "leap": (
        "The update server offers a version of the bot whose number leaps too far ahead, so it was refused. "
        "Nothing was changed.\n"
        "Tell the bot's publisher: publish the release again numbered at most what the log below names.",
        "Сервер обновлений предлагает версию бота со слишком большим скачком номера, поэтому она отклонена. "
        "Ничего не изменено.\n"
        "Сообщите разработчику бота: выпуск нужно опубликовать заново с номером не выше названного в отчёте ниже."),
    "retired": (
        "The new version of the bot is signed with a key this bot no longer trusts, so it was refused. "
        "Nothing was changed.\n"
        "Tell the bot's publisher: since the spare key took over, releases must be signed with the spare key.",
        "Новая версия бота подписана ключом, которому этот бот больше не доверяет, поэтому она отклонена. "
        "Ничего не изменено.\n"
        "Сообщите разработчику бота: после перехода на запасной ключ выпуски нужно подписывать запасным ключом."),
    "expired": (
        "The published version of the bot has expired, so it was refused. Nothing was changed.\n"
        "Tell the bot's publisher: the release must be published again to refresh it.",
        "Срок действия опубликованной версии бота истёк, поэтому она отклонена. Ничего не изменено.\n"
        "Сообщите разработчику бота: выпуск нужно опубликовать заново, чтобы обновить его."),
    "not_started": (
        "The new version of the bot could not be started (not a Windows program, or blocked); the previous one, if any, was put back.\n"
        "Tell the bot's publisher: the published file does not start on this computer.",
        "Новую версию бота не удалось запустить (это не программа Windows, или её заблокировали); прежняя, если была, возвращена.\n"
        "Сообщите разработчику бота: опубликованный файл не запускается на этом компьютере."),
    "mismatch": (
        "The downloaded file is not the published one (damaged on the way or on the server). Nothing was changed.\n"
        "Run the update again later; if it fails again, tell the bot's publisher.",
        "Загруженный файл не совпадает с опубликованным (повреждён в пути или на сервере). Ничего не изменено.\n"
        "Запустите обновление позже ещё раз; если ошибка повторится, сообщите разработчику бота."),
    "replaced": (
        "Another program changed the downloaded file before it was installed, so it was refused. Nothing was changed.\n"
        "Run the update again; if it fails again, tell the bot's publisher.",
        "Другая программа изменила загруженный файл до установки, поэтому он отклонён. Ничего не изменено.\n"
        "Запустите обновление ещё раз; если ошибка повторится, сообщите разработчику бота."),
    "oversized": (
        "The update server sent more than the published version of the bot holds, so it was refused. "
        "Nothing was changed.\n"
        "Run the update again later; if it fails again, tell the bot's publisher.",
        "Сервер обновлений прислал больше, чем занимает опубликованная версия бота, поэтому она отклонена. "
        "Ничего не изменено.\n"
        "Запустите обновление позже ещё раз; если ошибка повторится, сообщите разработчику бота."),
    "no pynacl": (
        "This updater is incomplete: PyNaCl, the library that checks the publisher's signature, is missing.\n"
        "The bot's publisher must send you a complete updater (a new bin folder).",
        "Программа обновления неполная: нет библиотеки PyNaCl, которая проверяет подпись разработчика.\n"
        "Разработчик бота должен прислать полную программу обновления (новую папку bin)."),
    "other": (
        "The update did not finish. Run it again later; if it fails again, send the file named\n"
        "below to the bot's publisher.",
        "Обновление не завершено. Запустите его позже ещё раз; если ошибка повторится, отправьте\n"
        "разработчику бота файл, названный ниже."),
}
# The store's answers that mean it does not know the key pair or its secret.
REFUSED_KEYS = {"InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken"}
# The line after the hint: where the error is, whole.
SEE_LOG = ("The full error report: {log}", "Полный отчёт об ошибке: {log}")

# The log beside this file: the last LOG_RUNS failures, fewer when they pass LOG_BYTES.
# The Windows name of the locale whose messages are Russian, the module's own (cmake/project.json,
# which the tests compare this with: the bundle carries no copy of the project's facts).
RUSSIAN_LOCALE = "Russian_Russia"
LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "update.log")
LOG_RUNS = 5
LOG_BYTES = 64 * 1024
RECORD = "==== "  # how each failure's record begins, with its date and time


def failure_kind(error):
    """Which of HINTS fits `error`, looking through the errors it wraps; None for Ctrl-C."""
    try:
        from botocore.exceptions import ClientError, ConnectionError, HTTPClientError, IncompleteReadError
    except ImportError:
        return "other"
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, KeyboardInterrupt):
            return None
        refusal = getattr(error, "refusal", None)
        if isinstance(refusal, str) and refusal in HINTS:
            return refusal
        if isinstance(error, ModuleNotFoundError) and (error.name or "").partition(".")[0] == "nacl":
            return "no pynacl"
        if isinstance(error, PermissionError):
            return "running"
        if isinstance(error, (ConnectionError, HTTPClientError, IncompleteReadError)):  # a body cut short too
            return "unreachable"
        if isinstance(error, ClientError):
            code = str(error.response.get("Error", {}).get("Code", ""))
            return "keys" if code in REFUSED_KEYS else "refused"
        # The transfer library gives up with an error of its own that holds the last one.
        error = getattr(error, "last_exception", None) or error.__cause__ or error.__context__
    return "other"


def full_report(kind, error, trace):
    """The error as the interpreter shows it, and the last error of a transfer that gave up,
    which the transfer library keeps without chaining it."""
    parts, seen = traceback.format_exception(kind, error, trace), set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        last = getattr(error, "last_exception", None)
        if isinstance(last, BaseException):
            parts += ["\nThe last error before the transfer gave up:\n", *traceback.format_exception(last)]
        error = error.__cause__ or error.__context__
    return "".join(parts)


def add_to_log(log, report, now=None):
    """Appends `report` to the file `log` as a record with the date and time, keeping the last
    LOG_RUNS records, and fewer when they pass LOG_BYTES (the newest always stays)."""
    now = now or datetime.datetime.now().astimezone()
    try:
        with open(log, encoding="utf-8-sig", errors="replace") as file:
            kept = file.read()
    except FileNotFoundError:
        kept = ""
    records = [r for r in re.split(r"(?m)^(?=" + re.escape(RECORD) + ")", kept) if r.strip()]
    records = records[-(LOG_RUNS - 1):] + [
        f"{RECORD}{now.isoformat(' ', 'seconds')}\n{report.rstrip()}\n\n"]
    while len(records) > 1 and len("".join(records).encode()) > LOG_BYTES:
        del records[0]
    with open(log, "w", encoding="utf-8-sig") as file:
        file.write("".join(records))


def details_asked():
    return "--details" in sys.argv[1:] or os.environ.get("UPDATER_DETAILS", "") not in ("", "0")


def on_failure(kind, error, trace, usual_hook=sys.excepthook):
    """The interpreter's hook for the updater's error: the hint and where the error is kept."""
    shown = False
    try:
        which = failure_kind(error)
        if which is None:  # Ctrl-C
            return
        try:
            add_to_log(LOG, full_report(kind, error, trace))
            logged = True
        except OSError:  # a folder that cannot be written: the error stays in the window
            logged = False
        if details_asked() or not logged:
            shown = True
            usual_hook(kind, error, trace)
        russian = locale.getlocale()[0] == RUSSIAN_LOCALE
        lines = [HINTS[which][russian]] + [SEE_LOG[russian].format(log=LOG)] * logged
        print("\n" + "\n".join(lines), file=sys.stderr, flush=True)
    except Exception:  # the launcher's own fault never hides the updater's error
        if not shown:
            usual_hook(kind, error, trace)


if __name__ == "__main__":
    sys.excepthook = on_failure
    import updater_core  # noqa: F401  (the import is the whole updater; it ends with SystemExit)
