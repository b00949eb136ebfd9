#include "common/cfg_skeleton.h"

#include <cstring>

#include "common/atomic_file.h"

namespace {

// The engineering password ships empty: a password known from the
// distribution would open the remote editor on every fresh install.
const char kSkeleton[] =
    "# config.yaml — конфігурація проєкту: драйвер, тренди, SCADA-сервер, аварії.\n"
    "# Коментар = текст після '#'. Усі шляхи — Linux, відносно каталогу проєкту.\n"
    "# Групи Logix ідуть В КІНЦІ файлу (найдовший блок).\n"
    "\n"
    "# Запис трендів (усі канали, усі роздільності). autodel* — у ДНЯХ, 0 = не видаляти\n"
    "trends:\n"
    "  mainpath_linux:   # основна папка трендів ./Trends (порожньо = тренди НЕ пишуться)\n"
    "  # mainpath_format: 1      # 1 = файли версії 1 (читає старий переглядач трендів), "
    "2 = версія 2.1 (ZQT2)\n"
    "  altpath_linux:   # додаткова копія (порожньо = вимкнено)\n"
    "  # altpath_format: 1        # формат файлів alt-шляху (незалежно від main)\n"
    "  autodelsec: 10   # зберігати .rps (секундні), днів\n"
    "  autodelmin: 365   # зберігати .rpm (хвилинні), днів\n"
    "  autodelhour: 1000   # зберігати .rph (годинні), днів\n"
    "  # push:                     # відправка трендів на сервер трендів; токен — окремо\n"
    "  #   - url: https://trends.example/api/push   # (push_tokens.json, режим 0600)\n"
    "  #     deflate: true\n"
    "\n"
    "# HTTP-сервер SCADA + інженерний редактор\n"
    "scada:\n"
    "  port: 80   # HTTP-порт (80 = потрібен root)\n"
    "  wwwdir: ./www   # папка веб-сторінок проєкту\n"
    "  poll_ms: 200   # період опитування SHM, мс\n"
    "  eng_password: \"\"   # пароль для /api/eng/* (порожньо = без авторизації)\n"
    "  logcontrol: 0   # 1 = логувати дії оператора\n"
    "  logcontrolpath: ./logs\n"
    "  ksp_projdir:\n"
    "\n"
    "# Аварії / технологічні повідомлення (модуль zqalarm)\n"
    "alarm:\n"
    "  dir: ./alarm   # папка даних аларму\n"
    "  takt_ms: 500   # період оцінки, мс\n"
    "\n"
    "# Права керування: code:timeout:ip (порожній список = відкрито всім)\n"
    "awp_slot:\n"
    "  trust: []\n"
    "\n"
    "# Резервні копії каталогу проєкту за розкладом (розкоментуйте, щоб увімкнути)\n"
    "# backup:\n"
    "#   enabled: false\n"
    "#   dir: ./backups\n"
    "#   schedule: \"02:00\"   # щодня о цій годині\n"
    "#   keep: 30   # скільки копій зберігати\n"
    "\n"
    "# Оновлення програм із веб-редактора (напівручне):\n"
    "# редактор бере з цієї адреси manifest.json і пакет релізу,\n"
    "# перевіряє підпис і встановлює після підтвердження інженера.\n"
    "# Порожньо = лише ручне завантаження пакета.\n"
    "update:\n"
    "  url: https://updates.zqstack.example/releases/\n"
    "\n"
    "# Драйвер EtherNet/IP (приклад; секцію додає інженерний редактор, без неї драйвер\n"
    "# не стартує):\n"
    "# logix:\n"
    "#   shm_name: /logix_drv\n"
    "#   log:\n"
    "#     logdir_linux: ./logs\n"
    "#     logname: Logix5000\n"
    "#     loginit: 1\n"
    "#     logerror: 0\n"
    "#     logwrite: 1\n"
    "#   groups:\n"
    "#     - id: 0\n"
    "#       ipaddr: 192.168.0.10\n"
    "#       connpath: backplane\\1\n"
    "#       takt: 300\n"
    "#       items: |\n"
    "#         A1,c,HMI_A[1]\n"
    "#         D1,c,HMI_D[1]\n";

}  // namespace

const char *config_skeleton_str() {
    return kSkeleton;
}

int config_write_skeleton(const char *path) {
    return atomic_file_write(path, kSkeleton, sizeof kSkeleton - 1);
}
