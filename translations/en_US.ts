<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>ConversionController</name>
    <message>
        <source>counter_not_stored</source>
        <translation>The file counter cannot be saved; new files still never replace existing ones</translation>
    </message>
    <message>
        <source>upload_cancelled_may_be_stored</source>
        <translation>Upload cancelled after the whole file had been sent: the fan may still store it. The converted file is kept on this computer.</translation>
    </message>
    <message>
        <source>upload_cancelled_not_stored</source>
        <translation>Upload cancelled. The fan did not receive the whole file and has not stored it. The converted file is kept on this computer.</translation>
    </message>
    <message>
        <source>upload_cancelled_stored</source>
        <translation>Upload cancelled, but the fan had already stored the file. The converted file is kept on this computer.</translation>
    </message>
</context>
<context>
    <name>HomeWindow</name>
    <message>
        <source>about</source>
        <translation>About Spindra</translation>
    </message>
    <message>
        <source>about content</source>
        <translation>&lt;b&gt;%1 v%2&lt;/b&gt;&lt;br&gt;&lt;br&gt;Desktop companion for spinning LED fan displays.&lt;br&gt;Turns videos and images into fan files and uploads them to the fan over its Wi-Fi.</translation>
    </message>
    <message>
        <source>about title</source>
        <translation>About Spindra</translation>
    </message>
    <message>
        <source>cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>color_deep</source>
        <translation>Color Depth</translation>
    </message>
    <message>
        <source>connected</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>connection</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>convert</source>
        <translation>Convert</translation>
    </message>
    <message>
        <source>convert_and_upload</source>
        <translation>Convert and Upload</translation>
    </message>
    <message>
        <source>convert_failed</source>
        <translation>Transcoding Failed</translation>
    </message>
    <message>
        <source>convert_success</source>
        <translation>Transcoding Successful</translation>
    </message>
    <message>
        <source>converting</source>
        <translation>Converting</translation>
    </message>
    <message>
        <source>decoding</source>
        <translation>Decoding</translation>
    </message>
    <message>
        <source>develop_mode</source>
        <translation>Developer Mode</translation>
    </message>
    <message>
        <source>disconnected</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>end_time</source>
        <translation>End Time:</translation>
    </message>
    <message>
        <source>end_time_error</source>
        <translation>End time cannot exceed video duration. Video duration is:</translation>
    </message>
    <message>
        <source>english</source>
        <translation>English</translation>
    </message>
    <message>
        <source>enter</source>
        <translation>Enter</translation>
    </message>
    <message>
        <source>exception</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>exit</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>flip</source>
        <translation>Flip</translation>
    </message>
    <message>
        <source>get_resolution_error</source>
        <translation>Failed to get resolution</translation>
    </message>
    <message>
        <source>help</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>horizontal_flip</source>
        <translation>Horizontal Flip</translation>
    </message>
    <message>
        <source>input_file</source>
        <translation>Select input file:</translation>
    </message>
    <message>
        <source>language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>language_change</source>
        <translation>Language Change</translation>
    </message>
    <message>
        <source>language_change_next_startup</source>
        <translation>Language will be applied on next startup.</translation>
    </message>
    <message>
        <source>language_changed_content</source>
        <translation>Language will take effect after restarting the application.&lt;br/&gt;Would you like to restart now or later?</translation>
    </message>
    <message>
        <source>later</source>
        <translation>Later</translation>
    </message>
    <message>
        <source>light_adjust_min_brightness</source>
        <translation>Min Brightness (0.0 - 1.0):</translation>
    </message>
    <message>
        <source>light_adjust_radius</source>
        <translation>Brightness Radius (LEDs adjusted from center):</translation>
    </message>
    <message>
        <source>light_detail</source>
        <translation>Brightness Adjustment Factor (1.0-5.0)&lt;br&gt;1: Linear Brightening &lt;br&gt;2: Slow first, then rapid brightening &lt;br&gt;0.5: Fast at first, then slower brightening</translation>
    </message>
    <message>
        <source>lights</source>
        <translation>LED Count</translation>
    </message>
    <message>
        <source>lines</source>
        <translation>Line Count</translation>
    </message>
    <message>
        <source>log</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>model</source>
        <translation>Select Model:</translation>
    </message>
    <message>
        <source>output_path</source>
        <translation>Select output path: </translation>
    </message>
    <message>
        <source>please_select_convert_file</source>
        <translation>Please select a file to convert first</translation>
    </message>
    <message>
        <source>refreshState</source>
        <translation>Read Device Information</translation>
    </message>
    <message>
        <source>resolution</source>
        <translation>Resolution</translation>
    </message>
    <message>
        <source>restart_now</source>
        <translation>Restart Now</translation>
    </message>
    <message>
        <source>russian</source>
        <translation>Русский</translation>
    </message>
    <message>
        <source>select_file</source>
        <translation>Select File</translation>
    </message>
    <message>
        <source>select_output_path</source>
        <translation>Select Folder</translation>
    </message>
    <message>
        <source>settings</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>start_time</source>
        <translation>Start Time:</translation>
    </message>
    <message>
        <source>start_time_error</source>
        <translation>Start time must be less than end time</translation>
    </message>
    <message>
        <source>state</source>
        <translation>State</translation>
    </message>
    <message>
        <source>tip</source>
        <translation>Tip</translation>
    </message>
    <message>
        <source>upload_failed</source>
        <translation>Upload Failed</translation>
    </message>
    <message>
        <source>upload_success</source>
        <translation>Upload Successful</translation>
    </message>
    <message>
        <source>uploading</source>
        <translation>Uploading</translation>
    </message>
    <message>
        <source>vertical_flip</source>
        <translation>Vertical Flip</translation>
    </message>
    <message>
        <source>video_duration</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>video_parse_error</source>
        <translation>Failed to parse video. Unable to get width and height. Please use common video formats such as mp4, mov, avi, flv, mkv, etc.</translation>
    </message>
    <message>
        <source>fan_view</source>
        <translation>Fan view</translation>
    </message>
    <message>
        <source>fan_view_tip</source>
        <translation>Show inside the circle what the fan will show (F)</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>Cancelled</translation>
    </message>
    <message>
        <source>clear_queue</source>
        <translation>Clear List</translation>
    </message>
    <message>
        <source>queued</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>saved_to</source>
        <translation>Saved to:</translation>
    </message>
    <message>
        <source>show_on_fan_view</source>
        <translation>Show on the fan view</translation>
    </message>
    <message>
        <source>file_unreadable</source>
        <translation>This file cannot be read. Please choose a video or an image.</translation>
    </message>
    <message>
        <source>heic_unreadable</source>
        <translation>This is a HEIC photo, which this computer cannot read. Please save it as JPEG and choose that.</translation>
    </message>
    <message>
        <source>select_video_file</source>
        <translation>Select a Video File</translation>
    </message>
    <message>
        <source>select_output_folder</source>
        <translation>Select Output Folder</translation>
    </message>
    <message>
        <source>filter_media</source>
        <translation>Media Files</translation>
    </message>
    <message>
        <source>filter_video</source>
        <translation>Video Files</translation>
    </message>
    <message>
        <source>filter_image</source>
        <translation>Image Files</translation>
    </message>
    <message>
        <source>filter_all</source>
        <translation>All Files</translation>
    </message>
    <message>
        <source>device_none</source>
        <translation>No fan connected</translation>
    </message>
    <message>
        <source>device_info</source>
        <translation>%1 · firmware %2</translation>
    </message>
    <message>
        <source>play_pause</source>
        <translation>Play/Pause (Space)</translation>
    </message>
    <message>
        <source>reset_framing</source>
        <translation>Reset Framing</translation>
    </message>
    <message>
        <source>from_position</source>
        <translation>Now</translation>
    </message>
    <message>
        <source>start_from_position_tip</source>
        <translation>Set the start time to the current playback position</translation>
    </message>
    <message>
        <source>end_from_position_tip</source>
        <translation>Set the end time to the current playback position</translation>
    </message>
    <message>
        <source>model_details</source>
        <translation>%1 LEDs · %2 lines · %3-bit colour</translation>
    </message>
    <message>
        <source>waiting_for_fan</source>
        <translation>Waiting for the fan…</translation>
    </message>
    <message>
        <source>file_not_found</source>
        <translation>There is no file at this path.</translation>
    </message>
    <message>
        <source>cancel_kept_file</source>
        <translation>The converted file is kept.</translation>
    </message>
    <message>
        <source>upload_failed_kept_file</source>
        <translation>The fan did not take the file; it is kept here.</translation>
    </message>
    <message>
        <source>upload_failed_reason</source>
        <translation>The fan did not take the file: %1</translation>
    </message>
    <message>
        <source>convert_failed_reason</source>
        <translation>Why: %1</translation>
    </message>
    <message>
        <source>fan_view_showing</source>
        <translation>Showing %1</translation>
    </message>
    <message>
        <source>play_playing</source>
        <translation>Playing %1 · %2 of %3</translation>
    </message>
    <message>
        <source>play_paused</source>
        <translation>Paused on %1 · %2 of %3</translation>
    </message>
    <message>
        <source>play_listed</source>
        <translation>On the fan: %1 · %2 of %3</translation>
    </message>
    <message>
        <source>play_idle</source>
        <translation>The fan plays nothing</translation>
    </message>
</context>
<context>
    <name>MediaConvert</name>
    <message>
        <source>start_convert_failed</source>
        <translation>Failed to start conversion</translation>
    </message>
    <message>
        <source>output_folder_fallback</source>
        <translation>The output folder cannot be written, the file was saved elsewhere</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
