# What the kit's run on a hosted Windows image depends on, printed before it runs: the session, whether the
# shell and its notification area are there, and the token as the kit sees it. It only reports: the kit's own
# results decide the job.
$ErrorActionPreference = 'Stop'
Add-Type -TypeDefinition @'
using System;
using System.Runtime.InteropServices;

public static class Probe
{
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    struct NotifyIconData
    {
        public int cbSize;
        public IntPtr hWnd;
        public int uID;
        public int uFlags;
        public int uCallbackMessage;
        public IntPtr hIcon;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 128)] public string szTip;
        public int dwState;
        public int dwStateMask;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 256)] public string szInfo;
        public int uVersion;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 64)] public string szInfoTitle;
        public int dwInfoFlags;
        public Guid guidItem;
        public IntPtr hBalloonIcon;
    }

    [DllImport("shell32.dll", CharSet = CharSet.Unicode)]
    static extern bool Shell_NotifyIconW(int message, ref NotifyIconData data);
    [DllImport("user32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern IntPtr CreateWindowExW(int exStyle, string className, string title, int style, int x, int y,
        int width, int height, IntPtr parent, IntPtr menu, IntPtr instance, IntPtr param);
    [DllImport("user32.dll")]
    static extern bool DestroyWindow(IntPtr window);
    [DllImport("user32.dll")]
    static extern IntPtr LoadIconW(IntPtr instance, IntPtr name);
    [DllImport("advapi32.dll", SetLastError = true)]
    static extern bool GetTokenInformation(IntPtr token, int infoClass, out int info, int size, out int returned);

    // One icon added and deleted again, from a hidden window of a predefined class, as the monitor adds its own.
    public static string TrayIcon()
    {
        IntPtr window = CreateWindowExW(0, "STATIC", "probe", 0, 0, 0, 0, 0, IntPtr.Zero, IntPtr.Zero,
            IntPtr.Zero, IntPtr.Zero);
        if (window == IntPtr.Zero) {
            return "no window (error " + Marshal.GetLastWin32Error() + ")";
        }
        NotifyIconData data = new NotifyIconData();
        data.cbSize = Marshal.SizeOf(typeof(NotifyIconData));
        data.hWnd = window;
        data.uID = 1;
        data.uFlags = 2 | 4;  // NIF_ICON | NIF_TIP
        data.hIcon = LoadIconW(IntPtr.Zero, new IntPtr(32512));  // IDI_APPLICATION
        data.szTip = "CI probe";
        bool added = Shell_NotifyIconW(0, ref data);  // NIM_ADD
        bool deleted = added && Shell_NotifyIconW(2, ref data);  // NIM_DELETE
        DestroyWindow(window);
        return added ? "added" + (deleted ? " and deleted" : ", but not deleted") : "refused";
    }

    // TokenElevation (20), what the kit checks, and TokenElevationType (18): 1 default (UAC off or a standard
    // user), 2 full (elevated), 3 limited.
    public static string Elevation(IntPtr token)
    {
        int elevated, type, size;
        if (!GetTokenInformation(token, 20, out elevated, 4, out size) ||
            !GetTokenInformation(token, 18, out type, 4, out size)) {
            return "unreadable (error " + Marshal.GetLastWin32Error() + ")";
        }
        return (elevated != 0 ? "elevated" : "not elevated") + ", elevation type " + type;
    }
}
'@

$self = Get-Process -Id $PID
$explorer = @(Get-Process -Name explorer -ErrorAction SilentlyContinue)
$token = [System.Security.Principal.WindowsIdentity]::GetCurrent()
"Session id:        $($self.SessionId)"
if ($explorer.Count -gt 0) {
  "explorer.exe:      running, session(s) $(($explorer | ForEach-Object SessionId) -join ', ')"
} else {
  'explorer.exe:      not running'
}
"Tray icon:         $([Probe]::TrayIcon())"
"Token:             $([Probe]::Elevation($token.Token)) (user $($token.Name))"
"Screen:            $((Get-CimInstance Win32_VideoController | ForEach-Object { "$($_.CurrentHorizontalResolution)x$($_.CurrentVerticalResolution)" }) -join ', ')"
"Windows:           $((Get-CimInstance Win32_OperatingSystem).Caption) $([Environment]::OSVersion.Version)"
