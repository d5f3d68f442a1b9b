"""What the person at the window reads, in English and in Russian: the one table every test
compares the updater's and the launcher's output with.

`text(key, language, **fields)` fills in {exe} and {size} where given; a list is a run of
printed lines.
"""

import harness  # noqa: F401 (puts tools/ on the path)
from project import LONGEST_OBJECT, RUSSIAN_LOCALE

# A request that brings nothing for this long is given up.
STALLED_SECONDS = 90

EN, RU = "en", "ru"
LANGUAGES = [EN, RU]

MESSAGES = {
    EN: {
        "waiting": "Another update of this bot is running; waiting...",
        "check": "Checking hash-sum of local and remote file...",
        "missing": "No kelvo_bot.exe found on path {exe}",
        "start": "Staring download...",
        "differs": "The local file is not identical to the file on the server, start updating...",
        "download": "Downloading file: kelvo_bot.temp file size: {size} MiB",
        "done": "Download done.",
        "patch": "Downloading the patch to the new version: {size} MiB",
        "no patch": "There is no patch from the installed version on the server; downloading the whole file.",
        "patch unusable": "The patch from the installed version could not be used ({reason}); downloading the whole "
                          "file.",
        "replacing": "Replacing local file kelvo_bot.exe with downloaded...",
        "deleting": "Deleting old kelvo_bot.exe",
        "moving": "Moving new file to {exe}",
        "started": "Done. Starting bot.",
        "identical": ["", "Local file kelvo_bot.exe located at {exe}",
                      "Exactly identical to the file on the server! Updating is unnecessary and pointless.",
                      "", "To run bot, use file kelvo_bot.exe!", "", "nWindow will be closed in 60 seconds..."],
        "mismatch": "The downloaded kelvo_bot.exe does not match the published digest; nothing was changed.",
        "unsigned": "The downloaded kelvo_bot.exe is not signed by the publisher; the update was refused "
                    "and nothing was changed.",
        "folder": "A folder stands at {exe}; move it away and run the update again.",
        "older": "The store offers release {offered}, older than release {installed} recorded here; the update "
                 "was refused and nothing was changed. The publisher must publish a release numbered {installed} "
                 "or higher.",
        "leap": "The store offers release {offered}, numbered above {limit}, the highest number this bot folder takes "
                "now; the update was refused and nothing was changed. The publisher must publish it again numbered "
                "at most {limit}.",
        "retired": "The store's release {offered} is signed with the release key, which this bot folder no longer "
                   "trusts: release {installed} here was signed with the spare key; the update was refused and "
                   "nothing was changed. The publisher must sign releases with the spare key.",
        "special file": "A link or special file stands at {exe}; move it away and run the update again.",
        "expired": "The published release expired on {date}; the update was refused and nothing was changed.",
        "expired line": "The published release expired on {date}; the publisher must renew it.",
        "size": "The store's kelvo_bot.exe is {stored} bytes, the signed release {signed} bytes; nothing was changed.",
        # Once a release is accepted the bot folder records it, before the download: a refusal after that
        # says what stayed and what is recorded.
        "size, recorded": "The store's kelvo_bot.exe is {stored} bytes, the signed release {signed} bytes; "
                          "kelvo_bot.exe stayed as it was; this bot folder now records release {release}.",
        "mismatch, recorded": "The downloaded kelvo_bot.exe does not match the published digest; kelvo_bot.exe "
                              "stayed as it was; this bot folder now records release {release}.",
        "unsigned, recorded": "The downloaded kelvo_bot.exe is not signed by the publisher; the update was refused "
                              "and kelvo_bot.exe stayed as it was; this bot folder now records release {release}.",
        "oversized": "The store sent more than the {size} bytes of the release; the download was stopped and "
                     "nothing was changed.",
        "oversized, recorded": "The store sent more than the {size} bytes of the release; the download was stopped "
                               "and kelvo_bot.exe stayed as it was; this bot folder now records release {release}.",
        "object too long": f"The store's object {{name}} is longer than {LONGEST_OBJECT} bytes, which it never is; "
                           "nothing was changed.",
        "no pynacl": "Signed releases are checked with PyNaCl, which is not installed: install it with "
                     "`python -m pip install pynacl` (the bundle carries it).",
        "still trying": "The update server is not answering, or too slowly; still trying...",
        "stalled": f"The update server sent next to nothing for {STALLED_SECONDS} seconds; the update was stopped and "
                   "nothing was changed.",
        "stalled, recorded": f"The update server sent next to nothing for {STALLED_SECONDS} seconds; the update was "
                             "stopped and kelvo_bot.exe stayed as it was; this bot folder now records release {release}.",
        "interrupted": "The update was interrupted by Ctrl-C while it waited on the update server; nothing was "
                       "changed.",
        "unguarded": "The updater cannot watch its connections to the update server here: a stalled server "
                     "may hold it up.",
        "running": "The bot is running ({exe} is in use); close it and run the update again. Nothing was downloaded.",
        "gave up": "Another update of this bot has been running for more than 10 minutes; this one stopped "
                   "and changed nothing. Run it again later.",
        "lock taken": "The lock {lock} is taken by something not this user's; updating without it.",
        "unwritable": "This user may not write to the folder {folder}, where the update writes; run the update as "
                      "the folder's owner, or let this user write to it. Nothing was downloaded or changed.",
        "replaced": "The downloaded kelvo_bot.exe was replaced after it was checked; the update was refused "
                    "and nothing was changed.",
        "not started": "The new kelvo_bot.exe could not be started; the previous one was put back in its place.",
        "not started, none before": "The new kelvo_bot.exe could not be started, and there was no previous one; "
                                    "the new one stays.",
        "not put back": "Could not put the previous kelvo_bot.exe back from {exe} ({error}); it stays there. "
                        "Checking for an update.",
        "cannot run": "{exe} is there, but this system cannot run it: it is not a program of this system, or the "
                      "interpreter it names is not there.",
        "no room": "There is no room in {folder} for kelvo_bot.exe ({size} bytes): the download was stopped and the "
                   "bot is as it was. Free some space there and run the update again.",
        # update.cmd's first line, before the interpreter starts.
        "launcher": "Checking for an update of the bot...",
        # The launcher's two lines after a failure, and the line that names its log.
        "hint unreachable": ["The update server could not be reached, or the connection broke off.",
                             "Check the Internet connection and run the update again later."],
        "hint stalled": ["The update server sends next to nothing, or does not answer.",
                         "Check the Internet connection and run the update again later."],
        "hint keys": ["The update server refused this updater's keys.",
                      "The bot's publisher must send you a new updater (a new bin folder)."],
        "hint running": ["The bot is running, so its file cannot be replaced.",
                         "Close the bot and run the update again."],
        "hint unsigned": ["The new version of the bot is not signed by its publisher, so it was refused.",
                          "Tell the bot's publisher: the release must be published signed."],
        "hint not_started": ["The new version of the bot could not be started (not a Windows program, or blocked), "
                             "so the previous one was put back.",
                             "Tell the bot's publisher: the published file does not start on this computer."],
        "hint not_writable": ["This user may not write to the folder {folder}, so the bot cannot be updated there.",
                              "Run the update as the folder's owner, or let this user write to the folder."],
        # What became of the bot, the line after the hint.
        "bot kept": "Your bot was not changed and still works: start it as before, with kelvo_bot.exe in {folder}.",
        "log": "The full error report: {log}",
    },
    RU: {
        "waiting": "Уже идёт другое обновление этого бота; жду...",
        "check": "Проверяю hash-сумму локального и удаленного файла...",
        "missing": "Файл kelvo_bot.exe не найден по пути {exe}",
        "start": "Начинаю Загрузку...",
        "differs": "Локальный файл не идентичен файлу на сервере, начинаю обновление...",
        "download": "Загружаю файл: kelvo_bot.temp размер файла: {size} MiB",
        "done": "Загрузка завершена",
        "patch": "Загружаю патч до новой версии: {size} MiB",
        "no patch": "Патча от установленной версии на сервере нет; загружаю файл целиком.",
        "patch unusable": "Патч от установленной версии не подошёл ({reason}); загружаю файл целиком.",
        "replacing": "Заменяю локальный файл kelvo_bot.exe загруженным с сервера...",
        "deleting": "Удаляю старый kelvo_bot.exe",
        "moving": "Перемещаю новый файл в {exe}",
        "started": "Работа заверщена. Запускаю бота",
        "identical": ["", "Локальный файл kelvo_bot.exe расположенный по пути {exe}",
                      "Абсолютно идентичен файлу на сервере, обновление не требуется и бессмысленно.",
                      "", "Для запуска бота используйте файл kelvo_bot.exe!", "",
                      "Окно будет закрыто через 60 секунд..."],
        "mismatch": "Загруженный файл kelvo_bot.exe не совпадает с опубликованной hash-суммой; ничего не изменено.",
        "unsigned": "Загруженный файл kelvo_bot.exe не подписан разработчиком; обновление отклонено, ничего не изменено.",
        "folder": "На месте файла {exe} находится папка; уберите её и запустите обновление снова.",
        "older": "Сервер предлагает версию {offered}, более раннюю, чем записанная здесь версия {installed}; "
                 "обновление отклонено, ничего не изменено. Разработчик должен опубликовать версию с номером не ниже "
                 "{installed}.",
        "leap": "Сервер предлагает версию {offered}, номер которой выше {limit}, наибольшего номера, который эта "
                "папка бота сейчас принимает; обновление отклонено, ничего не изменено. Разработчик должен "
                "опубликовать её заново с номером не выше {limit}.",
        "retired": "Версия {offered} на сервере подписана основным ключом, которому эта папка бота больше не доверяет: "
                   "записанная здесь версия {installed} подписана запасным ключом; обновление отклонено, ничего не "
                   "изменено. Разработчик должен подписывать версии запасным ключом.",
        "special file": "На месте файла {exe} находится ссылка или особый файл; уберите его и запустите обновление "
                        "снова.",
        "expired": "Срок опубликованной версии истёк {date}; обновление отклонено, ничего не изменено.",
        "expired line": "Срок опубликованной версии истёк {date}; разработчик должен его продлить.",
        "size": "Файл kelvo_bot.exe на сервере имеет размер {stored} байт, а подписанная версия {signed} байт; "
                "ничего не изменено.",
        "size, recorded": "Файл kelvo_bot.exe на сервере имеет размер {stored} байт, а подписанная версия {signed} "
                          "байт; kelvo_bot.exe остался прежним; в этой папке бота теперь записана версия {release}.",
        "mismatch, recorded": "Загруженный файл kelvo_bot.exe не совпадает с опубликованной hash-суммой; "
                              "kelvo_bot.exe остался прежним; в этой папке бота теперь записана версия {release}.",
        "unsigned, recorded": "Загруженный файл kelvo_bot.exe не подписан разработчиком; обновление отклонено, "
                              "kelvo_bot.exe остался прежним; в этой папке бота теперь записана версия {release}.",
        "oversized": "Сервер прислал больше {size} байт этой версии; загрузка остановлена, ничего не изменено.",
        "oversized, recorded": "Сервер прислал больше {size} байт этой версии; загрузка остановлена, kelvo_bot.exe остался "
                               "прежним; в этой папке бота теперь записана версия {release}.",
        "object too long": f"Объект {{name}} на сервере длиннее {LONGEST_OBJECT} байт, каким он не бывает; "
                           "ничего не изменено.",
        "still trying": "Сервер обновлений не отвечает или отвечает слишком медленно; пробую ещё раз...",
        "stalled": f"Сервер обновлений почти ничего не присылал {STALLED_SECONDS} секунд; обновление остановлено, "
                   "ничего не изменено.",
        "stalled, recorded": f"Сервер обновлений почти ничего не присылал {STALLED_SECONDS} секунд; обновление "
                             "остановлено, kelvo_bot.exe остался прежним; в этой папке бота теперь записана версия {release}.",
        "interrupted": "Обновление прервано нажатием Ctrl-C во время ожидания сервера обновлений; ничего не "
                       "изменено.",
        "unguarded": "Здесь обновление не может следить за соединениями с сервером обновлений: зависший сервер "
                     "может его задержать.",
        "running": "Бот запущен (файл {exe} занят); закройте его и запустите обновление снова. Ничего не загружено.",
        "gave up": "Другое обновление этого бота идёт уже больше 10 минут; это обновление остановлено, "
                   "ничего не изменено. Запустите его позже.",
        "lock taken": "Блокировку {lock} держит чужой объект; обновление идёт без неё.",
        "unwritable": "Этому пользователю нельзя писать в папку {folder}, в которой работает обновление; запустите "
                      "обновление от имени владельца папки или разрешите этому пользователю запись в неё. Ничего не "
                      "загружено и не изменено.",
        "replaced": "Загруженный файл kelvo_bot.exe был подменён после проверки; обновление отклонено, "
                    "ничего не изменено.",
        "not started": "Новый kelvo_bot.exe не удалось запустить; прежний возвращён на его место.",
        "not started, none before": "Новый kelvo_bot.exe не удалось запустить, а прежнего не было; "
                                    "новый остаётся на месте.",
        "not put back": "Не удалось вернуть прежний kelvo_bot.exe из {exe} ({error}); он остаётся там. "
                        "Проверяю обновление.",
        "cannot run": "Файл {exe} на месте, но система не может его запустить: это не программа этой системы, или "
                      "нет интерпретатора, который в нём указан.",
        "no room": "В папке {folder} нет места для kelvo_bot.exe ({size} байт): загрузка остановлена, бот остался "
                   "прежним. Освободите там место и запустите обновление снова.",
        "launcher": "Проверяю, есть ли обновление бота...",
        "hint unreachable": ["Не удалось связаться с сервером обновлений, или связь прервалась.",
                             "Проверьте подключение к интернету и запустите обновление позже."],
        "hint stalled": ["Сервер обновлений почти ничего не присылает или не отвечает.",
                         "Проверьте подключение к интернету и запустите обновление позже."],
        "hint keys": ["Сервер обновлений не принял ключи этой программы обновления.",
                      "Разработчик бота должен прислать новую программу обновления (новую папку bin)."],
        "hint running": ["Бот запущен, поэтому его файл нельзя заменить.",
                         "Закройте бота и запустите обновление снова."],
        "hint not_started": ["Новую версию бота не удалось запустить (это не программа Windows, или её заблокировали), "
                             "поэтому прежняя возвращена на место.",
                             "Сообщите разработчику бота: опубликованный файл не запускается на этом компьютере."],
        "hint unsigned": ["Новая версия бота не подписана разработчиком, поэтому она отклонена.",
                          "Сообщите разработчику бота: версию нужно опубликовать с подписью."],
        "hint not_writable": ["Этому пользователю нельзя писать в папку {folder}, поэтому бота там не обновить.",
                              "Запустите обновление от имени владельца папки или разрешите этому пользователю "
                              "запись в неё."],
        "bot kept": "Ваш бот не изменён и по-прежнему работает: запускайте его как раньше, файлом kelvo_bot.exe "
                    "в папке {folder}.",
        "log": "Полный отчёт об ошибке: {log}",
    },
}


class _Fields(dict):
    def __missing__(self, name):  # a field not given stays as it stands
        return "{" + name + "}"


def text(key, language=EN, **fields):
    message = MESSAGES[language][key]
    if isinstance(message, list):
        return [line.format_map(_Fields(fields)) for line in message]
    return message.format_map(_Fields(fields))


def identical_lines(exe, language=EN):
    """What a run prints when the executable at `exe` is current."""
    return [text("check", language), *text("identical", language, exe=exe)]


# What locale.getlocale() answers on Windows set to each language.
WINDOWS_LOCALE = {EN: ("English_United States", "1252"), RU: (RUSSIAN_LOCALE, "1251")}
