"""What the bundle's update.cmd runs: the updater, and after a failure a short account in the
person's language: what happened and what to do (two lines), whether the bot still works and how
to start it (the old kelvo_bot.exe in its place) or that there is none, and the file that holds
the error.

The updater's own messages stay exactly as they are. Its error goes, whole and with the date and
time, to update.log beside this file (the last few failures, run after run; in the person's
temporary folder when this one may not be written), and not into the window, unless asked for:
`update.cmd --details`, or the variable UPDATER_DETAILS=1; then the interpreter's usual hook
shows it first, as it always did. When no log can be written, the error is shown in the window.
Ctrl-C is a plain stop: nothing is added, unless the updater refused to go on after it (a step
on the store it ended). The language is decided as the updater decides its own: Russian when
Windows reports the locale Russian_Russia.
"""

import datetime
import locale
import os
import re
import stat
import sys
import tempfile
import traceback

# What happened, and what to do: (English, Russian). {folder} is the folder the failure names.
HINTS = {
    "unreachable": (
        "The update server could not be reached, or the connection broke off.\n"
        "Check the Internet connection and run the update again later.",
        "Не удалось связаться с сервером обновлений, или связь прервалась.\n"
        "Проверьте подключение к интернету и запустите обновление позже."),
    "keys": (
        "The update server refused this updater's keys.\n"
        "The bot's publisher must send you a new updater (a new bin folder).",
        "Сервер обновлений не принял ключи этой программы обновления.\n"
        "Разработчик бота должен прислать новую программу обновления (новую папку bin)."),
    "refused": (
        "The update server refused the download.\n"
        "Try again later, or tell the bot's publisher.",
        "Сервер обновлений отказал в загрузке.\n"
        "Попробуйте позже или сообщите разработчику бота."),
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
    # The updater's own refusals, by the `refusal` its error carries: a row for each kind the
    # module raises (the `refusal_` names of updater_core/names.hpp; tests/windows/test_bundle.py
    # holds the two lists together).
    "stalled": (
        "The update server sends next to nothing, or does not answer.\n"
        "Check the Internet connection and run the update again later.",
        "Сервер обновлений почти ничего не присылает или не отвечает.\n"
        "Проверьте подключение к интернету и запустите обновление позже."),
    "interrupted": (
        "The update was stopped with Ctrl-C while it waited for the update server.\n"
        "Run the update again whenever you like.",
        "Обновление остановлено клавишами Ctrl+C, пока оно ждало ответа сервера обновлений.\n"
        "Запустите обновление снова, когда захотите."),
    "not_writable": (
        "This user may not write to the folder {folder}, so the bot cannot be updated there.\n"
        "Run the update as the folder's owner, or let this user write to the folder.",
        "Этому пользователю нельзя писать в папку {folder}, поэтому бота там не обновить.\n"
        "Запустите обновление от имени владельца папки или разрешите этому пользователю запись в неё."),
    "running": (
        "The bot is running, so its file cannot be replaced.\n"
        "Close the bot and run the update again.",
        "Бот запущен, поэтому его файл нельзя заменить.\n"
        "Закройте бота и запустите обновление снова."),
    "disk_full": (
        "There is not enough free space on the disk for the new version of the bot.\n"
        "Free some space on the disk and run the update again.",
        "На диске не хватает места для новой версии бота.\n"
        "Освободите место на диске и запустите обновление снова."),
    "unsigned": (
        "The new version of the bot is not signed by its publisher, so it was refused.\n"
        "Tell the bot's publisher: the release must be published signed.",
        "Новая версия бота не подписана разработчиком, поэтому она отклонена.\n"
        "Сообщите разработчику бота: версию нужно опубликовать с подписью."),
    "older": (
        "The update server offers an older version of the bot than the one installed, so it was refused.\n"
        "Tell the bot's publisher: publish a release numbered at least the one the error report names.",
        "Сервер обновлений предлагает версию бота более раннюю, чем установленная, поэтому она отклонена.\n"
        "Сообщите разработчику бота: нужно опубликовать версию с номером не меньше указанного в отчёте об ошибке."),
    "leap": (
        "The update server offers a version of the bot whose number leaps too far ahead, so it was refused.\n"
        "Tell the bot's publisher: publish the release again numbered at most what the error report names.",
        "Сервер обновлений предлагает версию бота со слишком большим скачком номера, поэтому она отклонена.\n"
        "Сообщите разработчику бота: версию нужно опубликовать заново с номером не больше указанного в отчёте "
        "об ошибке."),
    "retired": (
        "The new version of the bot is signed with a key this bot no longer trusts, so it was refused.\n"
        "Tell the bot's publisher: since the spare key took over, releases must be signed with the spare key.",
        "Новая версия бота подписана ключом, которому этот бот больше не доверяет, поэтому она отклонена.\n"
        "Сообщите разработчику бота: после перехода на запасной ключ версии нужно подписывать запасным ключом."),
    "expired": (
        "The published version of the bot has expired, so it was refused.\n"
        "Tell the bot's publisher: the release must be published again to renew it.",
        "Срок действия опубликованной версии бота истёк, поэтому она отклонена.\n"
        "Сообщите разработчику бота: версию нужно опубликовать заново, чтобы продлить её срок."),
    # Which of the two the window shows is what the bot folder held before the update: an
    # executable, which the updater put back, or none.
    "not_started": (
        "The new version of the bot could not be started (not a Windows program, or blocked), "
        "so the previous one was put back.\n"
        "Tell the bot's publisher: the published file does not start on this computer.",
        "Новую версию бота не удалось запустить (это не программа Windows, или её заблокировали), "
        "поэтому прежняя возвращена на место.\n"
        "Сообщите разработчику бота: опубликованный файл не запускается на этом компьютере."),
    "not_started, none before": (
        "The new version of the bot could not be started (not a Windows program, or blocked); "
        "there was no previous one, so the new one stays.\n"
        "Tell the bot's publisher: the published file does not start on this computer.",
        "Новую версию бота не удалось запустить (это не программа Windows, или её заблокировали); "
        "прежней не было, поэтому новая остаётся на месте.\n"
        "Сообщите разработчику бота: опубликованный файл не запускается на этом компьютере."),
    "mismatch": (
        "The downloaded file is not the published one (damaged on the way or on the server).\n"
        "Run the update again later; if it fails again, tell the bot's publisher.",
        "Загруженный файл не совпадает с опубликованным (повреждён в пути или на сервере).\n"
        "Запустите обновление позже ещё раз; если ошибка повторится, сообщите разработчику бота."),
    "replaced": (
        "Another program changed the downloaded file before it was installed, so it was refused.\n"
        "Run the update again; if it fails again, tell the bot's publisher.",
        "Другая программа изменила загруженный файл до установки, поэтому он отклонён.\n"
        "Запустите обновление ещё раз; если ошибка повторится, сообщите разработчику бота."),
    "oversized": (
        "The update server sent more than the published version of the bot holds, so it was refused.\n"
        "Run the update again later; if it fails again, tell the bot's publisher.",
        "Сервер обновлений прислал больше, чем занимает опубликованная версия бота, поэтому она отклонена.\n"
        "Запустите обновление позже ещё раз; если ошибка повторится, сообщите разработчику бота."),
}
# The kinds above that are the launcher's own, not refusals of the module.
OWN_KINDS = {"unreachable", "keys", "refused", "no pynacl", "other", "not_started, none before"}
# What the failure left of the bot, the line after the hint: the old executable in its place
# ("kept"), none before and none now ("none"), or one before and none now ("gone"). A new
# executable in its place gets no line: the hint says what became of it.
BOT_NOW = {
    "kept": ("Your bot was not changed and still works: start it as before, with kelvo_bot.exe in {folder}.",
             "Ваш бот не изменён и по-прежнему работает: запускайте его как раньше, файлом kelvo_bot.exe "
             "в папке {folder}."),
    "none": ("The bot is not installed yet: there is no kelvo_bot.exe in {folder}.",
             "Бот ещё не установлен: в папке {folder} нет файла kelvo_bot.exe."),
    "gone": ("There is no kelvo_bot.exe in {folder} now: run the update again to put it back.",
             "Сейчас в папке {folder} нет файла kelvo_bot.exe: запустите обновление снова, чтобы вернуть его."),
}
# The store's answers that mean it does not know the key pair or its secret.
REFUSED_KEYS = {"InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken"}
# The line after the hint: where the error is, whole.
SEE_LOG = ("The full error report: {log}", "Полный отчёт об ошибке: {log}")

# The Windows name of the locale whose messages are Russian, and the bot's file name: the
# module's own (cmake/project.json, which the tests compare these with: the bundle carries no
# copy of the project's facts).
RUSSIAN_LOCALE = "Russian_Russia"
EXE_NAME = "kelvo_bot.exe"
# The log beside this file: the last LOG_RUNS failures, fewer when they pass LOG_BYTES; in the
# person's own temporary folder when this one may not be written (a bot in a folder that
# belongs to another user).
LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "update.log")
SPARE_LOG = os.path.join(tempfile.gettempdir(), "kelvo_bot-update.log")
LOG_RUNS = 5
LOG_BYTES = 64 * 1024
RECORD = "==== "  # how each failure's record begins, with its date and time


def failure_kind(error):
    """Which of HINTS fits `error`, looking through the errors it wraps; None for Ctrl-C. The
    updater's own errors are told by the refusal they carry, never by their class (a
    PermissionError may be a running bot or a folder this user may not write); the libraries'
    errors by what they are."""
    try:
        from botocore.exceptions import ClientError, ConnectionError, HTTPClientError, IncompleteReadError
    except ImportError:
        return "other"
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        refusal = getattr(error, "refusal", None)
        if isinstance(refusal, str) and refusal in HINTS:
            return refusal
        if isinstance(error, KeyboardInterrupt):
            return None
        if isinstance(error, ModuleNotFoundError) and (error.name or "").partition(".")[0] == "nacl":
            return "no pynacl"
        if isinstance(error, (ConnectionError, HTTPClientError, IncompleteReadError)):  # a body cut short too
            return "unreachable"
        if isinstance(error, ClientError):
            code = str(error.response.get("Error", {}).get("Code", ""))
            return "keys" if code in REFUSED_KEYS else "refused"
        error = wrapped_in(error)
    return "other"


def refusal_of(error, kind):
    """The error in `error`'s chain that carries the refusal `kind`, else `error`."""
    seen, found = set(), error
    while found is not None and id(found) not in seen:
        seen.add(id(found))
        if getattr(found, "refusal", None) == kind:
            return found
        found = wrapped_in(found)
    return error


def wrapped_in(error):
    """The error that `error` wraps: the transfer library gives up with an error of its own
    that holds the last one."""
    return getattr(error, "last_exception", None) or error.__cause__ or error.__context__


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


class Bot:
    """The bot's executable as it stood before the update, by the updater's rule: kelvo_bot.exe
    in the working folder, or in its parent when the working folder is a bin folder. After a
    failure it tells what became of it."""

    def __init__(self, working):
        self.working = working
        bin_folder = os.sep + "bin"
        self.folder = working[:-len(bin_folder)] if working.endswith(bin_folder) else working
        self.exe = self.folder + os.sep + EXE_NAME
        self.before = self.identity()

    def identity(self):
        """What tells this file from another at the same name (a put-back copy keeps it); None
        when no file stands there."""
        try:
            found = os.stat(self.exe)
        except OSError:
            return None
        return (found.st_ino, found.st_size, found.st_mtime_ns) if stat.S_ISREG(found.st_mode) else None

    def now(self):
        """The key of BOT_NOW for what stands there now, None for a new executable."""
        now = self.identity()
        if now is None:
            return "gone" if self.before else "none"
        return "kept" if now == self.before else None


def logged_to(report):
    """The log the report went to: the one beside this file, or the spare one; None when
    neither can be written."""
    for log in (LOG, SPARE_LOG):
        try:
            add_to_log(log, report)
            return log
        except OSError:
            continue
    return None


def details_asked():
    return "--details" in sys.argv[1:] or os.environ.get("UPDATER_DETAILS", "") not in ("", "0")


def on_failure(kind, error, trace, usual_hook=sys.excepthook, bot=None):
    """The interpreter's hook for the updater's error: the hint, what became of the bot (when
    `bot` knows it), and where the error is kept."""
    shown = False
    try:
        which = failure_kind(error)
        if which is None:  # Ctrl-C
            return
        log = logged_to(full_report(kind, error, trace))
        if details_asked() or log is None:  # a folder that cannot be written: the error stays in the window
            shown = True
            usual_hook(kind, error, trace)
        now = bot.now() if bot else None
        if which == "not_started" and bot and bot.before is None:
            which = "not_started, none before"
        # The folder a refusal names (its `filename`, as an OSError's); else, of the two folders
        # the update writes, the working folder when the log could not be written there, and
        # the bot's when it could.
        folder = getattr(refusal_of(error, which), "filename", None)
        if not (isinstance(folder, str) and folder) and bot:
            folder = bot.folder if log == LOG else bot.working
        russian = locale.getlocale()[0] == RUSSIAN_LOCALE
        lines = [HINTS[which][russian].format(folder=folder or "")]
        if now:
            lines.append(BOT_NOW[now][russian].format(folder=bot.folder))
        if log:
            lines.append(SEE_LOG[russian].format(log=log))
        print("\n" + "\n".join(lines), file=sys.stderr, flush=True)
    except Exception:  # the launcher's own fault never hides the updater's error
        if not shown:
            usual_hook(kind, error, trace)


if __name__ == "__main__":
    bot = Bot(os.getcwd())
    sys.excepthook = lambda kind, error, trace: on_failure(kind, error, trace, bot=bot)
    import updater_core  # noqa: F401  (the import is the whole updater; it ends with SystemExit)
