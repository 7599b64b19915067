#!/bin/sh
# Creates a small demo repository: a folder with a few projects, documents and nested
# folders. When the user has no saved-connections file yet, it also writes one that holds
# a single connection "Демо" to that folder; an existing file is never touched.
#
# Usage: make-demo-repository.sh [repository folder]
# The folder defaults to <data home>/Holmiq/KalvorDemo/repository, where the data home is
# $XDG_DATA_HOME or ~/.local/share. Documents that already exist are left as they are.
set -eu

data_home=${XDG_DATA_HOME:-${HOME}/.local/share}
repository=${1:-${data_home}/Holmiq/KalvorDemo/repository}
connections=${data_home}/Holmiq/KalvorIII_2013/ConnectionsConfig.xml

# doc <path inside the repository> <content>
doc() {
    target=${repository}/$1
    if [ ! -e "$target" ]; then
        mkdir -p "$(dirname "$target")"
        printf '%s\n' "$2" >"$target"
    fi
}

ifc_model() {
    printf 'ISO-10303-21;\nHEADER;\nFILE_DESCRIPTION((%s),%s);\nFILE_SCHEMA((%s));\nENDSEC;\nDATA;\n#1=IFCPROJECT(%s,$,%s,$,$,$,$,$,$);\nENDSEC;\nEND-ISO-10303-21;' \
        "'ViewDefinition [CoordinationView]'" "'2;1'" "'IFC4'" "'0YvctVUKr0kugbFTf53O9L'" "'$1'"
}

mkdir -p "$repository"
doc "Проекты/Жилой дом/План 1 этажа.dwg" "Демонстрационный чертёж: план первого этажа"
doc "Проекты/Жилой дом/План 2 этажа.dwg" "Демонстрационный чертёж: план второго этажа"
doc "Проекты/Жилой дом/Фасады.dxf" "0
SECTION
2
ENTITIES
0
ENDSEC
0
EOF"
doc "Проекты/Жилой дом/Модель здания.ifc" "$(ifc_model 'Жилой дом')"
doc "Проекты/Жилой дом/Архив/План 1 этажа (первая редакция).dwg" "Демонстрационный чертёж: первая редакция плана"
doc "Проекты/Мост через реку/Пролётное строение.dxf" "0
SECTION
2
ENTITIES
0
ENDSEC
0
EOF"
doc "Проекты/Мост через реку/Опоры/Опора 1.dwg" "Демонстрационный чертёж: опора 1"
doc "Проекты/Мост через реку/Опоры/Опора 2.dwg" "Демонстрационный чертёж: опора 2"
doc "Проекты/Генплан/Топографическая съёмка.mif" "Version 300
Charset \"WindowsCyrillic\"
Columns 0
Data"
doc "Нормативы/Требования заказчика.ids" "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<ids xmlns=\"http://standards.buildingsmart.org/IDS\"><info><title>Демонстрационные требования</title></info><specifications/></ids>"
doc "Нормативы/Модель для проверки.ifc" "$(ifc_model 'Модель для проверки')"
mkdir -p "${repository}/Входящие"
echo "Демонстрационное хранилище данных: ${repository}"

if [ -e "$connections" ]; then
    echo "Файл сохранённых подключений уже существует и не изменён: ${connections}"
    exit 0
fi

xml_escape() {
    printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'
}

host=$(cd "$repository" && pwd -P)
if [ -r /proc/sys/kernel/random/uuid ]; then
    id=$(cat /proc/sys/kernel/random/uuid)
else
    id=$(uuidgen)
fi

# The same layout as the program writes: the file holds credentials, so only its owner may read it.
umask 077
mkdir -p "$(dirname "$connections")"
temporary=$(mktemp "${connections}.XXXXXX")
cat >"$temporary" <<XML
<?xml version="1.0" encoding="utf-8"?>
<config>
    <connections_manager>
        <connections>
            <connection>
                <id>${id}</id>
                <name>Демо</name>
                <address>
                    <host>$(xml_escape "$host")</host>
                    <port>0</port>
                </address>
                <credentials>
                    <type>none</type>
                </credentials>
                <flags>0</flags>
            </connection>
        </connections>
    </connections_manager>
</config>
XML
chmod 600 "$temporary"
# A link fails when the file appeared meanwhile, so a file made by someone else is never replaced.
if ln "$temporary" "$connections" 2>/dev/null; then
    echo "Сохранено подключение «Демо»: ${connections}"
else
    echo "Файл сохранённых подключений уже существует и не изменён: ${connections}"
fi
rm -f "$temporary"
