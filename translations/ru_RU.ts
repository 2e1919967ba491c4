<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU" sourcelanguage="en_US">
<context>
    <name>ConversionController</name>
    <message>
        <source>counter_not_stored</source>
        <translation>Не удаётся сохранить счётчик файлов; новые файлы по-прежнему не заменяют существующие</translation>
    </message>
    <message>
        <source>upload_cancelled_may_be_stored</source>
        <translation>Загрузка отменена, когда файл уже был передан целиком: вентилятор ещё может его сохранить. Преобразованный файл остался на компьютере.</translation>
    </message>
    <message>
        <source>upload_cancelled_not_stored</source>
        <translation>Загрузка отменена. Вентилятор не получил файл целиком и не сохранил его. Преобразованный файл остался на компьютере.</translation>
    </message>
    <message>
        <source>upload_cancelled_stored</source>
        <translation>Загрузка отменена, но вентилятор уже сохранил файл. Преобразованный файл остался на компьютере.</translation>
    </message>
</context>
<context>
    <name>HomeWindow</name>
    <message>
        <source>about</source>
        <translation>О Spindra</translation>
    </message>
    <message>
        <source>about content</source>
        <translation>&lt;b&gt;%1 v%2&lt;/b&gt;&lt;br&gt;&lt;br&gt;Настольное приложение для вращающихся LED-дисплеев.&lt;br&gt;Преобразует видео и изображения в файлы вентилятора и загружает их по Wi-Fi.</translation>
    </message>
    <message>
        <source>about title</source>
        <translation>Spindra</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>color_deep</source>
        <translation>Глубина цвета</translation>
    </message>
    <message>
        <source>connected</source>
        <translation>Подключено</translation>
    </message>
    <message>
        <source>connection</source>
        <translation>Соединение</translation>
    </message>
    <message>
        <source>convert</source>
        <translation>Конвертировать</translation>
    </message>
    <message>
        <source>convert_and_upload</source>
        <translation>Конвертировать и загрузить</translation>
    </message>
    <message>
        <source>convert_failed</source>
        <translation>Ошибка конвертации</translation>
    </message>
    <message>
        <source>convert_success</source>
        <translation>Конвертация завершена</translation>
    </message>
    <message>
        <source>converting</source>
        <translation>Конвертация</translation>
    </message>
    <message>
        <source>decoding</source>
        <translation>Декодирование</translation>
    </message>
    <message>
        <source>develop_mode</source>
        <translation>Режим разработчика</translation>
    </message>
    <message>
        <source>disconnected</source>
        <translation>Отключено</translation>
    </message>
    <message>
        <source>end_time</source>
        <translation>Время окончания:</translation>
    </message>
    <message>
        <source>end_time_error</source>
        <translation>Превышает длительность видео:</translation>
    </message>
    <message>
        <source>english</source>
        <translation>English</translation>
    </message>
    <message>
        <source>enter</source>
        <translation>Вход</translation>
    </message>
    <message>
        <source>exception</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>exit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>flip</source>
        <translation>Отражение:</translation>
    </message>
    <message>
        <source>get_resolution_error</source>
        <translation>Ошибка получения разрешения</translation>
    </message>
    <message>
        <source>help</source>
        <translation>Справка</translation>
    </message>
    <message>
        <source>horizontal_flip</source>
        <translation>Горизонтальное</translation>
    </message>
    <message>
        <source>input_file</source>
        <translation>Входной файл:</translation>
    </message>
    <message>
        <source>language</source>
        <translation>Язык</translation>
    </message>
    <message>
        <source>language_change</source>
        <translation>Смена языка</translation>
    </message>
    <message>
        <source>language_change_next_startup</source>
        <translation>Изменения вступят в силу при следующем запуске</translation>
    </message>
    <message>
        <source>language_changed_content</source>
        <translation>Изменения вступят в силу после перезапуска.&lt;br&gt;Перезапустить сейчас?</translation>
    </message>
    <message>
        <source>later</source>
        <translation>Позже</translation>
    </message>
    <message>
        <source>light_adjust_min_brightness</source>
        <translation>Минимальная яркость (0–1):</translation>
    </message>
    <message>
        <source>light_adjust_radius</source>
        <translation>Радиус яркости (LED):</translation>
    </message>
    <message>
        <source>light_detail</source>
        <translation>Коэффициент яркости (1.0–5.0)&lt;br&gt;1: линейно&lt;br&gt;2: медленно → быстро&lt;br&gt;0.5: быстро → медленно</translation>
    </message>
    <message>
        <source>lights</source>
        <translation>Светодиоды</translation>
    </message>
    <message>
        <source>lines</source>
        <translation>Линии</translation>
    </message>
    <message>
        <source>log</source>
        <translation>Журнал</translation>
    </message>
    <message>
        <source>model</source>
        <translation>Модель:</translation>
    </message>
    <message>
        <source>output_path</source>
        <translation>Путь вывода:</translation>
    </message>
    <message>
        <source>please_select_convert_file</source>
        <translation>Пожалуйста, выберите файл</translation>
    </message>
    <message>
        <source>refreshState</source>
        <translation>Обновить состояние</translation>
    </message>
    <message>
        <source>resolution</source>
        <translation>Разрешение</translation>
    </message>
    <message>
        <source>restart_now</source>
        <translation>Перезапустить</translation>
    </message>
    <message>
        <source>russian</source>
        <translation>Русский</translation>
    </message>
    <message>
        <source>select_file</source>
        <translation>Выбрать файл</translation>
    </message>
    <message>
        <source>select_output_path</source>
        <translation>Выбрать папку</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>start_time</source>
        <translation>Время начала:</translation>
    </message>
    <message>
        <source>start_time_error</source>
        <translation>Время окончания должно быть больше времени начала</translation>
    </message>
    <message>
        <source>state</source>
        <translation>Статус</translation>
    </message>
    <message>
        <source>tip</source>
        <translation>Подсказка</translation>
    </message>
    <message>
        <source>upload_failed</source>
        <translation>Ошибка загрузки</translation>
    </message>
    <message>
        <source>upload_success</source>
        <translation>Загрузка завершена</translation>
    </message>
    <message>
        <source>uploading</source>
        <translation>Загрузка…</translation>
    </message>
    <message>
        <source>vertical_flip</source>
        <translation>Вертикальное</translation>
    </message>
    <message>
        <source>video_duration</source>
        <translation>Длительность видео</translation>
    </message>
    <message>
        <source>video_parse_error</source>
        <translation>Ошибка обработки видео</translation>
    </message>
    <message>
        <source>fan_view</source>
        <translation>Вид вентилятора</translation>
    </message>
    <message>
        <source>fan_view_tip</source>
        <translation>Показать в круге то, что покажет вентилятор (F)</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>Отменено</translation>
    </message>
    <message>
        <source>clear_queue</source>
        <translation>Очистить список</translation>
    </message>
    <message>
        <source>queued</source>
        <translation>В очереди</translation>
    </message>
    <message>
        <source>saved_to</source>
        <translation>Сохранено в:</translation>
    </message>
    <message>
        <source>show_on_fan_view</source>
        <translation>Показать в виде вентилятора</translation>
    </message>
    <message>
        <source>file_unreadable</source>
        <translation>Не удаётся прочитать файл. Выберите видео или изображение.</translation>
    </message>
    <message>
        <source>heic_unreadable</source>
        <translation>Это фото HEIC, которое этот компьютер не может прочитать. Сохраните его как JPEG и выберите его.</translation>
    </message>
    <message>
        <source>select_video_file</source>
        <translation>Выбор видеофайла</translation>
    </message>
    <message>
        <source>select_output_folder</source>
        <translation>Выбор папки вывода</translation>
    </message>
    <message>
        <source>filter_media</source>
        <translation>Медиафайлы</translation>
    </message>
    <message>
        <source>filter_video</source>
        <translation>Видеофайлы</translation>
    </message>
    <message>
        <source>filter_image</source>
        <translation>Изображения</translation>
    </message>
    <message>
        <source>filter_all</source>
        <translation>Все файлы</translation>
    </message>
    <message>
        <source>device_none</source>
        <translation>Вентилятор не подключён</translation>
    </message>
    <message>
        <source>device_info</source>
        <translation>%1 · прошивка %2</translation>
    </message>
    <message>
        <source>play_pause</source>
        <translation>Воспроизведение/пауза (пробел)</translation>
    </message>
    <message>
        <source>reset_framing</source>
        <translation>Сбросить кадр</translation>
    </message>
    <message>
        <source>from_position</source>
        <translation>Сейчас</translation>
    </message>
    <message>
        <source>start_from_position_tip</source>
        <translation>Взять время начала из текущей позиции</translation>
    </message>
    <message>
        <source>end_from_position_tip</source>
        <translation>Взять время окончания из текущей позиции</translation>
    </message>
    <message>
        <source>model_details</source>
        <translation>%1 LED · %2 линий · %3 бит</translation>
    </message>
    <message>
        <source>waiting_for_fan</source>
        <translation>Ожидание ответа вентилятора…</translation>
    </message>
    <message>
        <source>file_not_found</source>
        <translation>По этому пути нет файла.</translation>
    </message>
    <message>
        <source>cancel_kept_file</source>
        <translation>Сконвертированный файл сохранён.</translation>
    </message>
    <message>
        <source>upload_failed_kept_file</source>
        <translation>Вентилятор не принял файл; он сохранён здесь.</translation>
    </message>
    <message>
        <source>upload_failed_reason</source>
        <translation>Вентилятор не принял файл: %1</translation>
    </message>
    <message>
        <source>convert_failed_reason</source>
        <translation>Причина: %1</translation>
    </message>
    <message>
        <source>fan_view_showing</source>
        <translation>Показан %1</translation>
    </message>
    <message>
        <source>play_playing</source>
        <translation>Играет %1 · %2 из %3</translation>
    </message>
    <message>
        <source>play_paused</source>
        <translation>Пауза на %1 · %2 из %3</translation>
    </message>
    <message>
        <source>play_listed</source>
        <translation>На вентиляторе: %1 · %2 из %3</translation>
    </message>
    <message>
        <source>play_idle</source>
        <translation>Вентилятор ничего не воспроизводит</translation>
    </message>
</context>
<context>
    <name>MediaConvert</name>
    <message>
        <source>start_convert_failed</source>
        <translation>Не удалось начать конвертацию</translation>
    </message>
    <message>
        <source>output_folder_fallback</source>
        <translation>В папку вывода нельзя записать, файл сохранён в другом месте</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>ОК</translation>
    </message>
</context>
</TS>
