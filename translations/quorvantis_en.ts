<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>ActivityList</name>
    <message>
        <source>尚无活动</source>
        <translation>No activity yet</translation>
    </message>
    <message>
        <source>最近活动</source>
        <translation>Recent activity</translation>
    </message>
    <message>
        <source>%1，%2</source>
        <translation>%1, %2</translation>
    </message>
</context>
<context>
    <name>AgentOperations</name>
    <message>
        <source>%1，完成后才能进行其他操作。</source>
        <translation>%1; other actions can run once it finishes.</translation>
    </message>
    <message>
        <source>正在准备运行环境</source>
        <translation>Preparing the runtime</translation>
    </message>
    <message>
        <source>正在检查权限</source>
        <translation>Checking permissions</translation>
    </message>
    <message>
        <source>正在完成设备注册</source>
        <translation>Registering the device</translation>
    </message>
    <message>
        <source>正在安装并启动 Agent</source>
        <translation>Installing and starting the Agent</translation>
    </message>
    <message>
        <source>正在重启 Agent</source>
        <translation>Restarting the Agent</translation>
    </message>
    <message>
        <source>正在更新 Agent</source>
        <translation>Updating the Agent</translation>
    </message>
    <message>
        <source>正在重试</source>
        <translation>Retrying</translation>
    </message>
    <message>
        <source>正在执行操作</source>
        <translation>An action is running</translation>
    </message>
</context>
<context>
    <name>AgentOverviewPane</name>
    <message>
        <source>当前任务</source>
        <translation>Current task</translation>
    </message>
    <message>
        <source>当前任务，%1</source>
        <translation>Current task, %1</translation>
    </message>
</context>
<context>
    <name>AgentScripts</name>
    <message>
        <source>Quorvantis 运行环境不完整，请重新安装。</source>
        <translation>The Quorvantis runtime is incomplete; please reinstall.</translation>
    </message>
    <message>
        <source>Quorvantis 安装工具不可用，请重新安装。</source>
        <translation>The Quorvantis installer tools are unavailable; please reinstall.</translation>
    </message>
    <message>
        <source>Quorvantis 运行组件不完整，请重新安装。</source>
        <translation>The Quorvantis runtime components are incomplete; please reinstall.</translation>
    </message>
    <message>
        <source>Agent 运行配置未生成，请重试。</source>
        <translation>The Agent&apos;s run configuration was not created; please try again.</translation>
    </message>
    <message>
        <source>Agent 运行配置无效，请重试。</source>
        <translation>The Agent&apos;s run configuration is invalid; please try again.</translation>
    </message>
</context>
<context>
    <name>AgentStatusClient</name>
    <message>
        <source>Agent 状态通道配置无效</source>
        <translation>The Agent status channel is misconfigured</translation>
    </message>
    <message>
        <source>Agent 状态通道不可用</source>
        <translation>The Agent status channel is unavailable</translation>
    </message>
</context>
<context>
    <name>AgentUpdateBanner</name>
    <message>
        <source>更新</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>更新 Agent</source>
        <translation>Update Agent</translation>
    </message>
    <message>
        <source>正在更新 Agent…</source>
        <translation>Updating Agent…</translation>
    </message>
</context>
<context>
    <name>AuthorizationCard</name>
    <message>
        <source>复制邮箱</source>
        <translation>Copy email</translation>
    </message>
    <message>
        <source>显示</source>
        <translation>Show</translation>
    </message>
    <message>
        <source>复制密码</source>
        <translation>Copy password</translation>
    </message>
    <message>
        <source>先保存下面的登录信息，再打开授权页面。授权完成后安装会自动继续。</source>
        <translation>Save the sign-in details below, then open the authorization page. Setup continues on its own once you have authorized.</translation>
    </message>
    <message>
        <source>邮箱</source>
        <translation>Email</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>登录信息只保存在当前安装过程中，不会写入 App 设置或日志。</source>
        <translation>The sign-in details are kept only for this setup and are never written to the app settings or logs.</translation>
    </message>
    <message>
        <source>完成 %1 Workspace 授权</source>
        <translation>Authorize %1 Workspace</translation>
    </message>
    <message>
        <source>邮箱，%1</source>
        <translation>Email, %1</translation>
    </message>
    <message>
        <source>密码，%1</source>
        <translation>Password, %1</translation>
    </message>
    <message>
        <source>密码，已隐藏</source>
        <translation>Password, hidden</translation>
    </message>
    <message>
        <source>隐藏</source>
        <translation>Hide</translation>
    </message>
    <message>
        <source>已复制</source>
        <translation>Copied</translation>
    </message>
    <message>
        <source>正在打开授权页面…</source>
        <translation>Opening the authorization page…</translation>
    </message>
    <message>
        <source>我已保存登录信息，打开授权页面</source>
        <translation>I saved the details, open the page</translation>
    </message>
    <message>
        <source>没有成功打开默认浏览器，请再次点击重试。安装仍在等待授权。也可以复制以下链接，在浏览器中打开：%1</source>
        <translation>The default browser did not open; click again to retry. Setup is still waiting for authorization. You can also copy this link and open it in a browser: %1</translation>
    </message>
</context>
<context>
    <name>BannerCloseButton</name>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>BundleComponents</name>
    <message>
        <source>会话脚本 %1 已丢失：安装无法开始，请重新安装 Quorvantis。</source>
        <translation>The session script %1 is missing: setup cannot start. Please reinstall Quorvantis.</translation>
    </message>
    <message>
        <source>会话脚本 %1 未打包（构建时没有提供 QUORVANTIS_SESSION_SCRIPT）：安装无法开始，重新安装同一个安装包也无济于事，请换用包含该脚本的安装包。</source>
        <translation>The session script %1 was not packaged (QUORVANTIS_SESSION_SCRIPT was not given at build time): setup cannot start, and reinstalling the same package will not help. Please use a package that includes the script.</translation>
    </message>
    <message>
        <source>注册密钥文件 stamp 已丢失：无法申请安装码，安装码仍可使用；重新安装可恢复。</source>
        <translation>The enrollment key file &quot;stamp&quot; is missing: you cannot request a setup code, but setup codes still work. Reinstalling restores it.</translation>
    </message>
    <message>
        <source>注册密钥文件 stamp 未打包（构建时没有提供 QUORVANTIS_ENROLLMENT_KEY_FILE）：无法申请安装码，安装码仍可使用。</source>
        <translation>The enrollment key file &quot;stamp&quot; was not packaged (QUORVANTIS_ENROLLMENT_KEY_FILE was not given at build time): you cannot request a setup code, but setup codes still work.</translation>
    </message>
    <message>
        <source>引导服务地址未打包（构建时没有提供 QUORVANTIS_ONBOARDING_SERVICE_URL）：使用 Agent 配置中的地址。</source>
        <translation>The onboarding service address was not packaged (QUORVANTIS_ONBOARDING_SERVICE_URL was not given at build time): the address in the Agent&apos;s configuration is used.</translation>
    </message>
    <message>
        <source>这个安装包构建时没有包含会话脚本 %1，安装无法开始；重新安装同一个安装包也无济于事。请向提供安装包的管理员索取包含该脚本的安装包。</source>
        <translation>This package was built without the session script %1, so setup cannot start, and reinstalling the same package will not help. Please ask the administrator who provided it for a package that includes the script.</translation>
    </message>
    <message>
        <source>缺少的组件：</source>
        <translation>Missing components:</translation>
    </message>
</context>
<context>
    <name>CLIService</name>
    <message>
        <source>Quorvantis 正在执行一项操作</source>
        <translation>Quorvantis is busy with another action</translation>
    </message>
    <message>
        <source>无法启动 Quorvantis 安装程序</source>
        <translation>Could not start the Quorvantis installer</translation>
    </message>
    <message>
        <source>安装组件不完整，请重新安装 Quorvantis</source>
        <translation>The installer is incomplete; please reinstall Quorvantis</translation>
    </message>
</context>
<context>
    <name>ChannelBindingSessionSheet</name>
    <message>
        <source>复制链接</source>
        <translation>Copy link</translation>
    </message>
    <message>
        <source>复制绑定链接，以便在浏览器中手动打开。</source>
        <translation>Copy the binding link to open it in a browser yourself.</translation>
    </message>
    <message>
        <source>重新生成</source>
        <translation>New link</translation>
    </message>
    <message>
        <source>生成新的绑定链接；之前的链接将失效。</source>
        <translation>Create a new binding link; the previous link stops working.</translation>
    </message>
    <message>
        <source>刷新状态</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>重新读取 Channel 绑定状态。</source>
        <translation>Read the Channel binding state again.</translation>
    </message>
    <message>
        <source>生成新的 Channel 绑定链接，之前的链接将失效。</source>
        <translation>Create a new Channel binding link; the previous link stops working.</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>绑定 Channel</source>
        <translation>Bind Channel</translation>
    </message>
    <message>
        <source>Ownership verified，正在完成连接并进入面板…</source>
        <translation>Ownership verified. Finishing the connection and opening the dashboard…</translation>
    </message>
    <message>
        <source>正在打开系统浏览器。打开后可随时返回本窗口查看进度。</source>
        <translation>Opening your browser. You can come back to this window any time to follow the progress.</translation>
    </message>
    <message>
        <source>浏览器没有打开时，请复制链接后在浏览器中完成绑定。</source>
        <translation>If the browser did not open, copy the link and finish the binding in a browser.</translation>
    </message>
    <message>
        <source>绑定页面已打开，请在系统浏览器中完成操作。Quorvantis 会在后台等待，绑定成功后自动继续。</source>
        <translation>The binding page is open; finish in your browser. Quorvantis waits in the background and continues once the binding succeeds.</translation>
    </message>
    <message>
        <source>请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。</source>
        <translation>Choose a Channel in your browser. Quorvantis waits in the background and continues once the binding succeeds.</translation>
    </message>
    <message>
        <source>没有成功打开默认浏览器，请复制链接后手动打开，或再次点击重试。</source>
        <translation>The default browser did not open. Copy the link and open it yourself, or click again to retry.</translation>
    </message>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
    <message>
        <source>再次用系统浏览器打开 Channel 绑定页面。</source>
        <translation>Open the Channel binding page in your browser again.</translation>
    </message>
    <message>
        <source>用系统浏览器打开 Channel 绑定页面。</source>
        <translation>Open the Channel binding page in your browser.</translation>
    </message>
    <message>
        <source>正在获取绑定链接…</source>
        <translation>Getting the binding link…</translation>
    </message>
    <message>
        <source>绑定页面是 Agent 打开的，这里没有它的链接。需要再次打开或复制时，请点击“重新生成”。</source>
        <translation>The Agent opened the binding page, so its link is not here. To open or copy it again, click &quot;New link&quot;.</translation>
    </message>
    <message>
        <source>还没有可用的绑定链接，请点击“重新生成”。</source>
        <translation>There is no binding link yet; click &quot;New link&quot;.</translation>
    </message>
    <message>
        <source>已复制</source>
        <translation>Copied</translation>
    </message>
</context>
<context>
    <name>ChannelController</name>
    <message>
        <source>暂时无法获取 Channel 绑定状态，请检查网络后重试。</source>
        <translation>Cannot get the Channel binding state right now. Check your network and try again.</translation>
    </message>
    <message>
        <source>等待绑定 Channel</source>
        <translation>Waiting for the Channel binding</translation>
    </message>
    <message>
        <source>正在验证 Agent 状态</source>
        <translation>Verifying the Agent status</translation>
    </message>
    <message>
        <source>重试</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>重新打开浏览器</source>
        <translation>Reopen browser</translation>
    </message>
    <message>
        <source>打开浏览器</source>
        <translation>Open browser</translation>
    </message>
    <message>
        <source>等待完成绑定</source>
        <translation>Waiting for binding</translation>
    </message>
    <message>
        <source>已绑定</source>
        <translation>Bound</translation>
    </message>
    <message>
        <source>尚未开始</source>
        <translation>Not started</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>安装阶段、Agent 状态、权限、Channel 和版本</source>
        <translation>Install stage, Agent state, permissions, Channel and versions</translation>
    </message>
    <message>
        <source>逐项检查 Quorvantis 依赖的环境，并给出修复方法</source>
        <translation>Check everything Quorvantis depends on, with a fix for each problem</translation>
    </message>
    <message>
        <source>重启 Agent</source>
        <translation>Restart Agent</translation>
    </message>
    <message>
        <source>重新检查系统权限</source>
        <translation>Recheck the system permissions</translation>
    </message>
    <message>
        <source>更新 Agent</source>
        <translation>Update Agent</translation>
    </message>
    <message>
        <source>导出诊断信息（已移除令牌和密钥）</source>
        <translation>Export diagnostics (tokens and keys removed)</translation>
    </message>
    <message>
        <source>显示正在运行的 Quorvantis 的窗口</source>
        <translation>Show the window of the running Quorvantis</translation>
    </message>
    <message>
        <source>退出正在运行的 Quorvantis</source>
        <translation>Quit the running Quorvantis</translation>
    </message>
    <message>
        <source>显示或选择界面语言（system：跟随系统）；重新打开后生效</source>
        <translation>Show or choose the interface language (system: follow the system); applies at the next start</translation>
    </message>
    <message>
        <source>命令（Quorvantis 正在运行时由它执行；否则直接读取配置目录，操作在后台执行后退出）：</source>
        <translation>Commands (run by Quorvantis when it is running; otherwise they read the profile directly, and actions run in the background, then exit):</translation>
    </message>
    <message>
        <source>退出状态：0 成功，1 检查或操作失败，2 用法错误。</source>
        <translation>Exit status: 0 success, 1 a check or action failed, 2 usage error.</translation>
    </message>
    <message>
        <source>%1：%2
运行 %1 --help 查看可用的选项。</source>
        <translation>%1: %2
Run %1 --help to see the available options.</translation>
    </message>
    <message>
        <source>Quorvantis：安装并照看本机的 Quorvantis Agent。</source>
        <translation>Quorvantis: installs and looks after the Quorvantis Agent on this computer.</translation>
    </message>
    <message>
        <source>Use DIR as the application&apos;s resource directory.</source>
        <translation>Use DIR as the application&apos;s resource directory.</translation>
    </message>
    <message>
        <source>status: print one JSON object.</source>
        <translation>status: print one JSON object.</translation>
    </message>
    <message>
        <source>One of the commands below; none opens the window.</source>
        <translation>One of the commands below; none opens the window.</translation>
    </message>
    <message>
        <source>--json 只能与 status 一起使用。</source>
        <translation>--json can only be used with status.</translation>
    </message>
    <message>
        <source>未知的命令：%1</source>
        <translation>Unknown command: %1</translation>
    </message>
    <message>
        <source>%1 不接受参数 %2</source>
        <translation>%1 takes no argument %2</translation>
    </message>
    <message>
        <source>没有这种界面语言：%1（可用：%2、system）</source>
        <translation>No such interface language: %1 (available: %2, system)</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
</context>
<context>
    <name>CommandLineFace</name>
    <message>
        <source>Quorvantis 刚刚启动；请再运行一次这个命令。
</source>
        <translation>Quorvantis has just started; please run this command again.
</translation>
    </message>
    <message>
        <source>Quorvantis 没有在运行；运行 quorvantis-companion 打开窗口。
</source>
        <translation>Quorvantis is not running; run quorvantis-companion to open the window.
</translation>
    </message>
    <message>
        <source>Quorvantis 没有在运行。
</source>
        <translation>Quorvantis is not running.
</translation>
    </message>
    <message>
        <source>正在运行的 Quorvantis 给出了无法读取的回答。
</source>
        <translation>The running Quorvantis gave an answer that cannot be read.
</translation>
    </message>
</context>
<context>
    <name>CommandService</name>
    <message>
        <source>无法写入 %1：%2</source>
        <translation>Cannot write %1: %2</translation>
    </message>
    <message>
        <source>诊断信息已导出；其中的令牌、密钥、安装码和绑定链接均已移除。
</source>
        <translation>Diagnostics exported; tokens, keys, setup codes and binding links were removed.
</translation>
    </message>
    <message>
        <source>已选定</source>
        <translation>chosen</translation>
    </message>
    <message>
        <source>跟随系统</source>
        <translation>follows the system</translation>
    </message>
    <message>
        <source>界面语言：%1（%2）</source>
        <translation>Interface language: %1 (%2)</translation>
    </message>
    <message>
        <source>无法在 %1 中保存界面语言。</source>
        <translation>Cannot save the interface language in %1.</translation>
    </message>
    <message>
        <source>界面语言已设为 %1；重新打开 Quorvantis 后生效。</source>
        <translation>Interface language set to %1; it applies when Quorvantis next starts.</translation>
    </message>
    <message>
        <source>界面语言将跟随系统（%1）；重新打开 Quorvantis 后生效。</source>
        <translation>The interface language will follow the system (%1); it applies when Quorvantis next starts.</translation>
    </message>
    <message>
        <source>Quorvantis 正在退出。</source>
        <translation>Quorvantis is quitting.</translation>
    </message>
    <message>
        <source>这个 Quorvantis 正在执行命令行操作，没有窗口。</source>
        <translation>This Quorvantis is running a command-line action and has no window.</translation>
    </message>
    <message>
        <source>这个 Quorvantis 正在执行命令行操作，完成后会自行退出。</source>
        <translation>This Quorvantis is running a command-line action and quits when it is done.</translation>
    </message>
    <message>
        <source>未知的命令</source>
        <translation>Unknown command</translation>
    </message>
    <message>
        <source>Agent 尚未完成安装，无法更新。</source>
        <translation>The Agent is not fully installed yet and cannot be updated.</translation>
    </message>
    <message>
        <source>Quorvantis 在操作完成前退出了。</source>
        <translation>Quorvantis quit before the action finished.</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>未授予：%1
</source>
        <translation>Not granted: %1
</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>已更新 Agent，当前版本 %1
</source>
        <translation>Agent updated; now at version %1
</translation>
    </message>
    <message>
        <source>这个请求来自另一个版本的 Quorvantis，无法执行。</source>
        <translation>This request comes from another version of Quorvantis and cannot be run.</translation>
    </message>
</context>
<context>
    <name>DashboardView</name>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
    <message>
        <source>Agent 状态</source>
        <translation>Agent status</translation>
    </message>
    <message>
        <source>系统状态</source>
        <translation>System status</translation>
    </message>
</context>
<context>
    <name>DesktopNotifier</name>
    <message>
        <source>Quorvantis Agent 已离线</source>
        <translation>Quorvantis Agent is offline</translation>
    </message>
    <message>
        <source>暂时无法连接到 Agent，Quorvantis 会继续尝试。也可以在状态面板中重启 Agent。</source>
        <translation>The Agent cannot be reached right now; Quorvantis keeps trying. You can also restart the Agent from the status panel.</translation>
    </message>
    <message>
        <source>Quorvantis Agent 已恢复在线</source>
        <translation>Quorvantis Agent is back online</translation>
    </message>
    <message>
        <source>Agent 已重新连接。</source>
        <translation>The Agent has reconnected.</translation>
    </message>
    <message>
        <source>Quorvantis 需要处理</source>
        <translation>Quorvantis needs attention</translation>
    </message>
    <message>
        <source>权限已被关闭</source>
        <translation>A permission was turned off</translation>
    </message>
    <message>
        <source>%1权限已被关闭，Agent 的部分功能将无法使用。请打开 Quorvantis 重新授权。</source>
        <translation>The %1 permission was turned off, so some Agent features will not work. Open Quorvantis to grant it again.</translation>
    </message>
    <message>
        <source>Agent 有新版本</source>
        <translation>A new Agent version is available</translation>
    </message>
    <message>
        <source>Agent %1 可更新，打开 Quorvantis 即可更新。</source>
        <translation>Agent %1 is available; open Quorvantis to update.</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
</context>
<context>
    <name>DiagnosticsExport</name>
    <message>
        <source>诊断信息 (*.tar)</source>
        <translation>Diagnostics (*.tar)</translation>
    </message>
    <message>
        <source>好</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>导出诊断信息</source>
        <translation>Export diagnostics</translation>
    </message>
    <message>
        <source>无法导出诊断信息</source>
        <translation>Could not export diagnostics</translation>
    </message>
    <message>
        <source>无法写入 %1：%2</source>
        <translation>Cannot write %1: %2</translation>
    </message>
    <message>
        <source>诊断信息已导出</source>
        <translation>Diagnostics exported</translation>
    </message>
    <message>
        <source>已保存到 %1。其中的令牌、密钥、安装码和绑定链接均已移除，可以放心发给支持人员。</source>
        <translation>Saved to %1. Tokens, keys, setup codes and binding links were removed, so it is safe to send to support.</translation>
    </message>
</context>
<context>
    <name>Doctor</name>
    <message>
        <source>运行 quorvantis-companion restart 重新安装并启动 Agent</source>
        <translation>Run quorvantis-companion restart to reinstall and start the Agent</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source>重新打开 Quorvantis 完成安装；如仍失败，请删除 ~/%1 后重新打开，让它重新准备运行环境</source>
        <translation>Reopen Quorvantis to finish setup; if it still fails, delete ~/%1 and reopen it so that it prepares the runtime again</translation>
    </message>
    <message>
        <source>私有运行环境</source>
        <translation>Private runtime</translation>
    </message>
    <message>
        <source>没有找到运行环境的 node</source>
        <translation>The runtime&apos;s node was not found</translation>
    </message>
    <message>
        <source>没有找到运行环境的 pnpm</source>
        <translation>The runtime&apos;s pnpm was not found</translation>
    </message>
    <message>
        <source>%1 无法运行</source>
        <translation>%1 does not run</translation>
    </message>
    <message>
        <source>Agent 守护进程</source>
        <translation>Agent daemon</translation>
    </message>
    <message>
        <source>没有登记为登录时启动（%1 不存在）</source>
        <translation>Not registered to start at login (%1 does not exist)</translation>
    </message>
    <message>
        <source>Agent 没有写下状态端口</source>
        <translation>The Agent has not written its status port</translation>
    </message>
    <message>
        <source>已登记，端口 %1 有应答</source>
        <translation>Registered; port %1 answers</translation>
    </message>
    <message>
        <source>已登记，但端口 %1 没有应答</source>
        <translation>Registered, but port %1 does not answer</translation>
    </message>
    <message>
        <source>状态通道</source>
        <translation>Status channel</translation>
    </message>
    <message>
        <source>Agent %1，%2</source>
        <translation>Agent %1, %2</translation>
    </message>
    <message>
        <source>已就绪</source>
        <translation>ready</translation>
    </message>
    <message>
        <source>尚未就绪</source>
        <translation>not ready yet</translation>
    </message>
    <message>
        <source>系统权限</source>
        <translation>System permissions</translation>
    </message>
    <message>
        <source>三项权限均已验证</source>
        <translation>All three permissions verified</translation>
    </message>
    <message>
        <source>未验证：%1</source>
        <translation>Not verified: %1</translation>
    </message>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>在系统设置中授予这些权限，然后运行 quorvantis-companion recheck</source>
        <translation>Grant these permissions in System Settings, then run quorvantis-companion recheck</translation>
    </message>
    <message>
        <source>钥匙串</source>
        <translation>Keychain</translation>
    </message>
    <message>
        <source>解锁登录钥匙串</source>
        <translation>Unlock the login keychain</translation>
    </message>
    <message>
        <source>启动并解锁桌面的 Secret Service（例如 gnome-keyring）</source>
        <translation>Start and unlock the desktop&apos;s Secret Service (for example gnome-keyring)</translation>
    </message>
    <message>
        <source>可以读取</source>
        <translation>Readable</translation>
    </message>
    <message>
        <source>接入服务</source>
        <translation>Onboarding service</translation>
    </message>
    <message>
        <source>用安装码完成设置；已设置过时，请重新运行设置以写回 Agent 的 config.json</source>
        <translation>Finish setup with a setup code; if it was set up before, run setup again to write back the Agent&apos;s config.json</translation>
    </message>
    <message>
        <source>%1，Agent %2</source>
        <translation>%1, Agent %2</translation>
    </message>
    <message>
        <source>config.json 缺失或不完整：%1</source>
        <translation>config.json is missing or incomplete: %1</translation>
    </message>
    <message>
        <source>磁盘空间</source>
        <translation>Disk space</translation>
    </message>
    <message>
        <source>%1 MB 可用</source>
        <translation>%1 MB free</translation>
    </message>
    <message>
        <source>在 %1 所在的磁盘上至少腾出 %2 MB</source>
        <translation>Free at least %2 MB on the disk that holds %1</translation>
    </message>
    <message>
        <source>正常  </source>
        <translation>OK    </translation>
    </message>
    <message>
        <source>失败  </source>
        <translation>FAIL  </translation>
    </message>
</context>
<context>
    <name>ErrorSection</name>
    <message>
        <source>最后错误</source>
        <translation>Last error</translation>
    </message>
    <message>
        <source>执行建议的恢复操作。</source>
        <translation>Run the suggested recovery action.</translation>
    </message>
    <message>
        <source>技术详情</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>把安装日志和状态打包成一个文件，便于寻求帮助。</source>
        <translation>Pack the install log and the state into one file to share when asking for help.</translation>
    </message>
    <message>
        <source>最后错误，%1</source>
        <translation>Last error, %1</translation>
    </message>
</context>
<context>
    <name>Failure</name>
    <message>
        <source>Quorvantis 尚未完成设置。</source>
        <translation>Quorvantis is not set up yet.</translation>
    </message>
    <message>
        <source>打开系统设置</source>
        <translation>Open System Settings</translation>
    </message>
    <message>
        <source>输入新安装码</source>
        <translation>Enter a new setup code</translation>
    </message>
    <message>
        <source>重试</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>重启 Agent</source>
        <translation>Restart Agent</translation>
    </message>
    <message>
        <source>打开日志目录</source>
        <translation>Open log folder</translation>
    </message>
    <message>
        <source>检查 App 更新</source>
        <translation>Check for app updates</translation>
    </message>
    <message>
        <source>检查权限</source>
        <translation>Check permissions</translation>
    </message>
    <message>
        <source>安装码已失效或不可用，请获取新的安装码后重试。</source>
        <translation>The setup code has expired or cannot be used. Get a new setup code and try again.</translation>
    </message>
    <message>
        <source>当前无法通过申请入口创建 Agent，请稍后重试或改用安装码。</source>
        <translation>An Agent cannot be created by request right now. Try again later or use a setup code.</translation>
    </message>
    <message>
        <source>该 Agent 名称保留给管理用途，请更换名称后重试。</source>
        <translation>This Agent name is reserved for administration. Choose another name and try again.</translation>
    </message>
    <message>
        <source>Agent 名称去掉连字符后至少需要 6 个字符，请更换名称后重试。</source>
        <translation>The Agent name needs at least 6 characters besides hyphens. Choose another name and try again.</translation>
    </message>
    <message>
        <source>该 Agent 名称已被占用，请更换名称后重试。</source>
        <translation>This Agent name is taken. Choose another name and try again.</translation>
    </message>
    <message>
        <source>安装服务暂时未能完成配置，请稍后重试。</source>
        <translation>The setup service could not finish the configuration. Please try again later.</translation>
    </message>
    <message>
        <source>运行环境准备未完成，请重试。</source>
        <translation>Preparing the runtime did not finish. Please try again.</translation>
    </message>
    <message>
        <source>Quorvantis 尚未进入权限配置阶段。</source>
        <translation>Quorvantis has not reached the permissions step yet.</translation>
    </message>
    <message>
        <source>Agent 启动未完成，请重试。</source>
        <translation>The Agent did not finish starting. Please try again.</translation>
    </message>
    <message>
        <source>Quorvantis 尚未进入 Channel 绑定阶段。</source>
        <translation>Quorvantis has not reached the Channel binding step yet.</translation>
    </message>
    <message>
        <source>Agent 没有重启成功。</source>
        <translation>The Agent did not restart.</translation>
    </message>
    <message>
        <source>Agent 当前没有运行，新的消息暂时不会被处理。</source>
        <translation>The Agent is not running; new messages will not be handled for now.</translation>
    </message>
    <message>
        <source>Agent 更新没有完成。</source>
        <translation>The Agent update did not finish.</translation>
    </message>
    <message>
        <source>Agent 可能仍是原来的版本，或没有在运行。</source>
        <translation>The Agent may still be on the old version, or not running.</translation>
    </message>
    <message>
        <source>操作失败：%1</source>
        <translation>Action failed: %1</translation>
    </message>
    <message>
        <source>安装或运行尚未完成。请查看 App 中的安装详情。</source>
        <translation>Setup or start-up has not finished. See the install details in the app.</translation>
    </message>
    <message>
        <source>系统</source>
        <translation>System</translation>
    </message>
</context>
<context>
    <name>MenuBarContent</name>
    <message>
        <source>Quorvantis 尚未安装。</source>
        <translation>Quorvantis is not installed yet.</translation>
    </message>
    <message>
        <source>Quorvantis 正在准备运行环境。</source>
        <translation>Quorvantis is preparing the runtime.</translation>
    </message>
    <message>
        <source>输入 JIT Code 或 Setup Code 完成设备注册。</source>
        <translation>Enter a JIT Code or Setup Code to register the device.</translation>
    </message>
    <message>
        <source>Agent 已安装并启动。</source>
        <translation>The Agent is installed and running.</translation>
    </message>
    <message>
        <source>Quorvantis 尚未就绪，请查看详情。</source>
        <translation>Quorvantis is not ready yet; see the details.</translation>
    </message>
    <message>
        <source>打开 Quorvantis</source>
        <translation>Open Quorvantis</translation>
    </message>
    <message>
        <source>重启 Agent</source>
        <translation>Restart Agent</translation>
    </message>
    <message>
        <source>重新检查权限</source>
        <translation>Recheck permissions</translation>
    </message>
    <message>
        <source>更新 Agent</source>
        <translation>Update Agent</translation>
    </message>
    <message>
        <source>检查 App 更新</source>
        <translation>Check for app updates</translation>
    </message>
    <message>
        <source>打开日志目录</source>
        <translation>Open log folder</translation>
    </message>
    <message>
        <source>桌面通知</source>
        <translation>Desktop notifications</translation>
    </message>
    <message>
        <source>退出 Quorvantis</source>
        <translation>Quit Quorvantis</translation>
    </message>
    <message>
        <source>打开 Quorvantis（%1）</source>
        <translation>Open Quorvantis (%1)</translation>
    </message>
    <message>
        <source>Agent 离线、需要处理或有新版本时通知你。</source>
        <translation>Notifies you when the Agent goes offline, needs attention or has a new version.</translation>
    </message>
    <message>
        <source>当前任务，%1</source>
        <translation>Current task, %1</translation>
    </message>
    <message>
        <source>安装完成后可重新检查权限。</source>
        <translation>Permissions can be rechecked once setup is complete.</translation>
    </message>
    <message>
        <source>重新检查系统权限。</source>
        <translation>Recheck the system permissions.</translation>
    </message>
    <message>
        <source>更新 Agent 到最新版本并重新启动。</source>
        <translation>Update the Agent to the latest version and restart it.</translation>
    </message>
    <message>
        <source>正在更新 Agent…</source>
        <translation>Updating Agent…</translation>
    </message>
    <message>
        <source>重新打开 Quorvantis 后生效。</source>
        <translation>Applies when Quorvantis next starts.</translation>
    </message>
    <message>
        <source>界面语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>跟随系统</source>
        <translation>System</translation>
    </message>
</context>
<context>
    <name>OnboardingDocuments</name>
    <message>
        <source>Channel 绑定配置无效</source>
        <translation>The Channel binding configuration is invalid</translation>
    </message>
    <message>
        <source>Channel 绑定页面无效</source>
        <translation>The Channel binding page is invalid</translation>
    </message>
    <message>
        <source>暂时无法获取 Channel 绑定状态</source>
        <translation>Cannot get the Channel binding state right now</translation>
    </message>
</context>
<context>
    <name>OwnerSetupChannelStatus</name>
    <message>
        <source>Bind Channel</source>
        <translation>Bind Channel</translation>
    </message>
    <message>
        <source>Channel</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>打开 Channel 绑定</source>
        <translation>Open the Channel binding</translation>
    </message>
    <message>
        <source>Channel，%1</source>
        <translation>Channel, %1</translation>
    </message>
</context>
<context>
    <name>OwnerSetupClient</name>
    <message>
        <source>暂时无法获取 Channel 绑定页面</source>
        <translation>Cannot get the Channel binding page right now</translation>
    </message>
    <message>
        <source>Channel 绑定状态已更新，正在重新检查</source>
        <translation>The Channel binding state changed; checking again</translation>
    </message>
</context>
<context>
    <name>PermissionController</name>
    <message>
        <source>系统权限已配置</source>
        <translation>System permissions are set up</translation>
    </message>
    <message>
        <source>%1 项权限需要处理</source>
        <translation>Permissions to fix: %1</translation>
    </message>
    <message>
        <source>尚未检测到所需的系统权限。</source>
        <translation>The required system permissions were not detected yet.</translation>
    </message>
    <message>
        <source>尚未检测到截图组件已获得屏幕录制授权。请在系统设置的屏幕录制列表中开启“macos-screenshot”；若列表中没有它，点击列表下方 + 号，按 Shift-Command-G 前往 ~/.quorvantis/bin/ 选择 macos-screenshot。组件更新后授权会失效，此时请删除条目再重新添加。</source>
        <translation>The screenshot component does not have Screen Recording permission yet. In System Settings, turn on &quot;macos-screenshot&quot; in the Screen Recording list; if it is not listed, click + below the list, press Shift-Command-G, go to ~/.quorvantis/bin/ and choose macos-screenshot. An update of the component revokes the permission: then remove the entry and add it again.</translation>
    </message>
    <message>
        <source>运行环境中的 cliclick 组件不完整，请重新运行环境准备后再试。</source>
        <translation>The cliclick component of the runtime is incomplete. Prepare the runtime again, then retry.</translation>
    </message>
    <message>
        <source>Agent 实际调用的 cliclick 不是已授权的那一个，请重新运行环境准备后再试。</source>
        <translation>The cliclick the Agent actually runs is not the one that was authorized. Prepare the runtime again, then retry.</translation>
    </message>
    <message>
        <source>尚未检测到辅助功能授权。请在系统设置中同时开启稳定路径的 cliclick 和 Agent 使用的真实 node。若列表中已有 cliclick 却仍未通过，请删除该条目后重新添加——组件更新后只切换开关不会生效。</source>
        <translation>Accessibility permission was not detected yet. In System Settings, turn on both cliclick at its stable path and the real node the Agent uses. If cliclick is listed but still fails, remove the entry and add it again: after a component update, switching it off and on has no effect.</translation>
    </message>
    <message>
        <source>尚未检测到 Agent 使用的真实 node 已开启完全磁盘访问。请在系统设置中开启对应的 node；若列表中没有它，点击 + 号后按 Shift-Command-G 手动添加该 node 路径。</source>
        <translation>Full Disk Access was not detected for the real node the Agent uses. Turn on that node in System Settings; if it is not listed, click +, press Shift-Command-G and add the node path yourself.</translation>
    </message>
    <message>
        <source>权限检查没有运行，权限状态保持不变：%1</source>
        <translation>The permission check did not run; the permission states are unchanged: %1</translation>
    </message>
    <message>
        <source>无法打开系统设置，请手动打开“系统设置 &gt; 隐私与安全性%1”。</source>
        <translation>System Settings could not be opened. Please open &quot;System Settings &gt; Privacy &amp; Security%1&quot; yourself.</translation>
    </message>
    <message>
        <source>%1没有“%2”的系统设置面板，无需手动打开；权限是否可用仍由 App 的真实探针检查决定。</source>
        <translation>There is no &quot;%2&quot; settings pane on %1, so there is nothing to open; the app&apos;s real probes still decide whether the permission works.</translation>
    </message>
    <message>
        <source>%1没有对应的系统设置面板，无需手动打开；权限是否可用仍由 App 的真实探针检查决定。</source>
        <translation>There is no such settings pane on %1, so there is nothing to open; the app&apos;s real probes still decide whether the permission works.</translation>
    </message>
</context>
<context>
    <name>PermissionKind</name>
    <message>
        <source>屏幕录制</source>
        <translation>Screen Recording</translation>
    </message>
    <message>
        <source>辅助功能</source>
        <translation>Accessibility</translation>
    </message>
    <message>
        <source>完全磁盘访问</source>
        <translation>Full Disk Access</translation>
    </message>
    <message>
        <source>用于读取屏幕内容并完成视觉操作。</source>
        <translation>To read the screen and carry out visual tasks.</translation>
    </message>
    <message>
        <source>用于控制键盘和鼠标。</source>
        <translation>To control the keyboard and mouse.</translation>
    </message>
    <message>
        <source>用于访问完成任务所需的本地文件。</source>
        <translation>To reach the local files that tasks need.</translation>
    </message>
</context>
<context>
    <name>PermissionProbes</name>
    <message>
        <source>权限检查没有得到结果（状态 %1）</source>
        <translation>The permission check gave no result (status %1)</translation>
    </message>
</context>
<context>
    <name>PermissionPromptSheet</name>
    <message>
        <source>正在验证授权…</source>
        <translation>Verifying…</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>打开系统设置</source>
        <translation>Open System Settings</translation>
    </message>
    <message>
        <source>重新检查</source>
        <translation>Recheck</translation>
    </message>
    <message>
        <source>准备授权</source>
        <translation>Get ready to authorize</translation>
    </message>
    <message>
        <source>准备授权%1</source>
        <translation>Authorize %1</translation>
    </message>
    <message>
        <source>Agent 会用自己的截图组件实际读取一次屏幕。若已授权，将直接继续；若未授权，App 会告诉你要在系统设置里添加哪个组件。</source>
        <translation>The Agent reads the screen once with its own screenshot component. If permission is granted, setup simply continues; if not, the app tells you which component to add in System Settings.</translation>
    </message>
    <message>
        <source>Agent 会通过真实运行的 node 读取一次受保护文件。若已授权，将直接继续；若未授权，App 会告诉你要在系统设置里添加哪个组件。</source>
        <translation>The Agent reads a protected file once through the node it really runs. If permission is granted, setup simply continues; if not, the app tells you which component to add in System Settings.</translation>
    </message>
    <message>
        <source>第一步：验证 Agent 使用的 Node。点击继续后 App 只做检查，不会弹出系统授权框；通过后会自动进入 cliclick。</source>
        <translation>Step 1: verify the Node the Agent uses. Continuing only checks, no system prompt appears; once it passes, cliclick is next.</translation>
    </message>
    <message>
        <source>第二步：验证 Agent 使用的 cliclick。点击继续后 App 只做检查，不会弹出系统授权框；通过后会自动进入下一项权限。</source>
        <translation>Step 2: verify the cliclick the Agent uses. Continuing only checks, no system prompt appears; once it passes, the next permission follows.</translation>
    </message>
    <message>
        <source>继续授权Node</source>
        <translation>Continue with Node</translation>
    </message>
    <message>
        <source>继续授权cliclick</source>
        <translation>Continue with cliclick</translation>
    </message>
    <message>
        <source>开始验证</source>
        <translation>Start verifying</translation>
    </message>
    <message>
        <source>正在等待授权…</source>
        <translation>Waiting for permission…</translation>
    </message>
</context>
<context>
    <name>PermissionRow</name>
    <message>
        <source>处理</source>
        <translation>Fix</translation>
    </message>
    <message>
        <source>处理%1权限</source>
        <translation>Fix the %1 permission</translation>
    </message>
    <message>
        <source>已配置</source>
        <translation>Set up</translation>
    </message>
    <message>
        <source>正在验证授权…</source>
        <translation>Verifying…</translation>
    </message>
    <message>
        <source>等待检查</source>
        <translation>Not checked</translation>
    </message>
    <message>
        <source>请完成系统授权</source>
        <translation>Grant in System Settings</translation>
    </message>
    <message>
        <source>。</source>
        <translation>.</translation>
    </message>
</context>
<context>
    <name>PlatformWords</name>
    <message>
        <source>这台 Mac</source>
        <translation>this Mac</translation>
    </message>
    <message>
        <source>这台电脑</source>
        <translation>this computer</translation>
    </message>
</context>
<context>
    <name>QCoreApplication</name>
    <message>
        <source>准备安装</source>
        <translation>Ready to install</translation>
    </message>
</context>
<context>
    <name>QuorvantisApp</name>
    <message>
        <source>打开 Quorvantis</source>
        <translation>Open Quorvantis</translation>
    </message>
    <message>
        <source>显示状态面板</source>
        <translation>Show status panel</translation>
    </message>
    <message>
        <source>桌面通知</source>
        <translation>Desktop notifications</translation>
    </message>
    <message>
        <source>退出 Quorvantis</source>
        <translation>Quit Quorvantis</translation>
    </message>
    <message>
        <source>Quorvantis 正在执行一个命令行操作；它结束后再打开窗口。</source>
        <translation>Quorvantis is running a command-line action; open the window once it has finished.</translation>
    </message>
</context>
<context>
    <name>RecoveryController</name>
    <message>
        <source>无法打开日志目录，请在文件管理器中打开：%1</source>
        <translation>Could not open the log folder. Open it in your file manager: %1</translation>
    </message>
    <message>
        <source>无法打开浏览器，请复制链接在浏览器中打开：%1</source>
        <translation>Could not open the browser. Copy the link and open it in a browser: %1</translation>
    </message>
    <message>
        <source>已重新检查权限</source>
        <translation>Permissions rechecked</translation>
    </message>
    <message>
        <source>Agent 已重启</source>
        <translation>Agent restarted</translation>
    </message>
    <message>
        <source>已重启 Agent</source>
        <translation>Agent restarted</translation>
    </message>
</context>
<context>
    <name>SetupController</name>
    <message>
        <source>安装服务暂时繁忙，正在重试（%1/%2）</source>
        <translation>The setup service is busy; retrying (%1/%2)</translation>
    </message>
    <message>
        <source>请输入 QVS2 或 QVI1 格式的安装码。</source>
        <translation>Enter a setup code in the QVS2 or QVI1 format.</translation>
    </message>
    <message>
        <source>名称需为 6-64 位小写字母、数字或连字符。</source>
        <translation>Use 6–64 lowercase letters, digits or hyphens.</translation>
    </message>
    <message>
        <source>正在验证安装码</source>
        <translation>Verifying the setup code</translation>
    </message>
    <message>
        <source>正在注册新 Agent</source>
        <translation>Registering the new Agent</translation>
    </message>
    <message>
        <source>请先更换 Agent 名称，再重新提交。</source>
        <translation>Change the Agent name first, then submit again.</translation>
    </message>
    <message>
        <source>请检查 Agent 名称后重新提交。</source>
        <translation>Check the Agent name and submit again.</translation>
    </message>
    <message>
        <source>请重新输入安装码后提交。</source>
        <translation>Enter the setup code again and submit.</translation>
    </message>
    <message>
        <source>正在安装并启动 Agent</source>
        <translation>Installing and starting the Agent</translation>
    </message>
    <message>
        <source>等待 Agent 启动</source>
        <translation>Waiting for the Agent to start</translation>
    </message>
    <message>
        <source>Agent 已安装，但未能在 15 秒内启动。</source>
        <translation>The Agent is installed but did not start within 15 seconds.</translation>
    </message>
</context>
<context>
    <name>SetupPhase</name>
    <message>
        <source>准备运行环境</source>
        <translation>Prepare runtime</translation>
    </message>
    <message>
        <source>检查运行环境</source>
        <translation>Check runtime</translation>
    </message>
    <message>
        <source>配置系统权限</source>
        <translation>Set up permissions</translation>
    </message>
    <message>
        <source>验证安装码</source>
        <translation>Verify setup code</translation>
    </message>
    <message>
        <source>写入安全配置</source>
        <translation>Write secure configuration</translation>
    </message>
    <message>
        <source>验证安装结果</source>
        <translation>Verify installation</translation>
    </message>
    <message>
        <source>安装并启动 Agent</source>
        <translation>Install and start Agent</translation>
    </message>
    <message>
        <source>绑定 Channel</source>
        <translation>Bind Channel</translation>
    </message>
    <message>
        <source>验证 Agent 状态</source>
        <translation>Verify Agent status</translation>
    </message>
    <message>
        <source>Agent 上线</source>
        <translation>Agent online</translation>
    </message>
</context>
<context>
    <name>SetupView</name>
    <message>
        <source>点击后只做检查，不会弹出系统授权框；未通过时按提示在%1设置中添加。</source>
        <translation>Clicking only checks; no system prompt appears. If it fails, add it in the %1 settings as shown.</translation>
    </message>
    <message>
        <source>正在启动截图工具并验证能否读取屏幕，首次运行可能需要一些时间。</source>
        <translation>Starting the screenshot tool to check it can read the screen; the first run may take a while.</translation>
    </message>
    <message>
        <source>正在依次验证 cliclick 和 Agent 使用的 node。</source>
        <translation>Verifying cliclick, then the node the Agent uses.</translation>
    </message>
    <message>
        <source>正在验证 Agent 使用的 node 能否访问受保护文件。</source>
        <translation>Verifying that the node the Agent uses can read protected files.</translation>
    </message>
    <message>
        <source>%1（Node）</source>
        <translation>%1 (Node)</translation>
    </message>
    <message>
        <source>%1（cliclick）</source>
        <translation>%1 (cliclick)</translation>
    </message>
    <message>
        <source>首次配置权限</source>
        <translation>First-time permissions</translation>
    </message>
    <message>
        <source>权限</source>
        <translation>Permissions</translation>
    </message>
    <message>
        <source>App 将先运行一次真实探针验证当前权限。</source>
        <translation>The app first runs a real probe to verify the current permissions.</translation>
    </message>
    <message>
        <source>正在验证系统权限。</source>
        <translation>Verifying system permissions.</translation>
    </message>
    <message>
        <source>打开系统设置</source>
        <translation>Open System Settings</translation>
    </message>
    <message>
        <source>权限，已完成 %1 项</source>
        <translation>Permissions, %1 done</translation>
    </message>
    <message>
        <source>已完成 %1 项</source>
        <translation>%1 done</translation>
    </message>
    <message>
        <source>当前步骤：%1</source>
        <translation>Current step: %1</translation>
    </message>
    <message>
        <source>正在验证授权…</source>
        <translation>Verifying…</translation>
    </message>
    <message>
        <source>开始授权</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>等待 Workspace 授权</source>
        <translation>Waiting for Workspace authorization</translation>
    </message>
    <message>
        <source>等待 Channel 绑定</source>
        <translation>Waiting for Channel binding</translation>
    </message>
    <message>
        <source>配置%1</source>
        <translation>Setting up %1</translation>
    </message>
    <message>
        <source>%1需要处理</source>
        <translation>%1 needs attention</translation>
    </message>
    <message>
        <source>已完成 %1 项，共 %2 项，%3</source>
        <translation>%1 of %2 done, %3</translation>
    </message>
    <message>
        <source>在这台 Mac 上安装、授权并运行 Quorvantis Agent。</source>
        <translation>Install, authorize and run the Quorvantis Agent on this Mac.</translation>
    </message>
    <message>
        <source>安装码</source>
        <translation>Setup code</translation>
    </message>
    <message>
        <source>输入管理员提供的 QVS2 或 QVI1 安装码。</source>
        <translation>Enter the QVS2 or QVI1 setup code from your administrator.</translation>
    </message>
    <message>
        <source>没有安装码？申请安装码</source>
        <translation>No setup code? Request one</translation>
    </message>
    <message>
        <source>改用工作区选择创建新 Agent，无需粘贴安装码。</source>
        <translation>Create a new Agent by choosing a workspace instead; no setup code needed.</translation>
    </message>
    <message>
        <source>新 Agent 名称</source>
        <translation>New Agent name</translation>
    </message>
    <message>
        <source>新 Agent 名称，例如 client-agent</source>
        <translation>New Agent name, e.g. client-agent</translation>
    </message>
    <message>
        <source>工作区</source>
        <translation>Workspace</translation>
    </message>
    <message>
        <source>无 Workspace</source>
        <translation>No Workspace</translation>
    </message>
    <message>
        <source>选择新 Agent 使用的 Workspace。</source>
        <translation>Choose the Workspace the new Agent uses.</translation>
    </message>
    <message>
        <source>改用安装码</source>
        <translation>Use a setup code</translation>
    </message>
    <message>
        <source>返回粘贴 QVS2 或 QVI1 安装码。</source>
        <translation>Go back to pasting a QVS2 or QVI1 setup code.</translation>
    </message>
    <message>
        <source>无 Workspace 可稍后绑定。选择 Zoho 或 Google 后会请你完成授权。</source>
        <translation>Without a Workspace you can bind one later. With Zoho or Google you will be asked to authorize.</translation>
    </message>
    <message>
        <source>将即时创建 Agent。若选择 Workspace，稍后会请你完成授权。</source>
        <translation>The Agent is created right away. If you choose a Workspace, you will be asked to authorize later.</translation>
    </message>
    <message>
        <source>安装进度</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>正在安装 Quorvantis</source>
        <translation>Installing Quorvantis</translation>
    </message>
    <message>
        <source>当前安装阶段，%1</source>
        <translation>Current install stage, %1</translation>
    </message>
    <message>
        <source>安装码只用于设备注册，不会写入日志或本地设置。</source>
        <translation>The setup code is used only to register the device and is never written to logs or local settings.</translation>
    </message>
    <message>
        <source>App 会先完成环境安装和系统授权。</source>
        <translation>The app first installs the runtime and sets up permissions.</translation>
    </message>
    <message>
        <source>Setup Quorvantis</source>
        <translation>Set up Quorvantis</translation>
    </message>
    <message>
        <source>安装 Quorvantis</source>
        <translation>Install Quorvantis</translation>
    </message>
    <message>
        <source>创建新 Agent</source>
        <translation>Create a new Agent</translation>
    </message>
    <message>
        <source>连接已有 Agent</source>
        <translation>Connect an existing Agent</translation>
    </message>
    <message>
        <source>将即时创建 Agent。若安装码包含 Workspace，稍后会请你完成授权。</source>
        <translation>The Agent is created right away. If the setup code includes a Workspace, you will be asked to authorize later.</translation>
    </message>
    <message>
        <source>注册完成后会启动 Agent，并进入 Channel 绑定。</source>
        <translation>Once registered, the Agent starts and Channel binding follows.</translation>
    </message>
    <message>
        <source>正在注册…</source>
        <translation>Registering…</translation>
    </message>
    <message>
        <source>继续设置</source>
        <translation>Continue</translation>
    </message>
    <message>
        <source>等待</source>
        <translation>Pending</translation>
    </message>
    <message>
        <source>进行中</source>
        <translation>In progress</translation>
    </message>
    <message>
        <source>已完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>%1，%2</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>已安装 %1 个包，共 %2 个，%3%</source>
        <translation>%1 of %2 packages installed, %3%</translation>
    </message>
    <message>
        <source>正在计算安装内容…</source>
        <translation>Working out what to install…</translation>
    </message>
    <message>
        <source>正在计算安装内容</source>
        <translation>Working out what to install</translation>
    </message>
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>%1 无法读取</source>
        <translation>%1 cannot be read</translation>
    </message>
    <message>
        <source>%1 不是套接字</source>
        <translation>%1 is not a socket</translation>
    </message>
    <message>
        <source>%1 属于另一个用户（uid %2）</source>
        <translation>%1 belongs to another user (uid %2)</translation>
    </message>
    <message>
        <source>%1 其他用户也可以打开（权限 %2）</source>
        <translation>%1 can be opened by other users too (mode %2)</translation>
    </message>
    <message>
        <source>不与这个套接字通信：%1</source>
        <translation>Not talking to this socket: %1</translation>
    </message>
    <message>
        <source>不与这个套接字通信：%1 由另一个用户的进程监听</source>
        <translation>Not talking to this socket: %1 is served by another user&apos;s process</translation>
    </message>
    <message>
        <source>无法把请求交给正在运行的 Quorvantis</source>
        <translation>Could not pass the request to the running Quorvantis</translation>
    </message>
    <message>
        <source>正在运行的 Quorvantis 没有回答</source>
        <translation>The running Quorvantis did not answer</translation>
    </message>
    <message>
        <source>正在运行的 Quorvantis 拒绝了这个请求</source>
        <translation>The running Quorvantis refused the request</translation>
    </message>
</context>
<context>
    <name>Spinner</name>
    <message>
        <source>正在进行</source>
        <translation>In progress</translation>
    </message>
</context>
<context>
    <name>StatusController</name>
    <message>
        <source>Coding</source>
        <translation>Coding</translation>
    </message>
    <message>
        <source>Thinking</source>
        <translation>Thinking</translation>
    </message>
    <message>
        <source>Working</source>
        <translation>Working</translation>
    </message>
    <message>
        <source>Receiving messages</source>
        <translation>Receiving messages</translation>
    </message>
    <message>
        <source>Idle</source>
        <translation>Idle</translation>
    </message>
    <message>
        <source>Received a new message</source>
        <translation>Received a new message</translation>
    </message>
    <message>
        <source>Received new messages — %1 waiting</source>
        <translation>Received new messages — %1 waiting</translation>
    </message>
    <message>
        <source>Started coding</source>
        <translation>Started coding</translation>
    </message>
    <message>
        <source>Organizing context</source>
        <translation>Organizing context</translation>
    </message>
    <message>
        <source>Started working</source>
        <translation>Started working</translation>
    </message>
    <message>
        <source>Task complete — waiting for the next message</source>
        <translation>Task complete — waiting for the next message</translation>
    </message>
    <message>
        <source>Task complete</source>
        <translation>Task complete</translation>
    </message>
    <message>
        <source>Waiting for channel binding</source>
        <translation>Waiting for channel binding</translation>
    </message>
    <message>
        <source>Quorvantis 正在完成设置</source>
        <translation>Quorvantis is finishing setup</translation>
    </message>
    <message>
        <source>Waiting for setup</source>
        <translation>Waiting for setup</translation>
    </message>
    <message>
        <source>等待 Agent 状态</source>
        <translation>Waiting for the Agent status</translation>
    </message>
    <message>
        <source>等待安装</source>
        <translation>Waiting to install</translation>
    </message>
    <message>
        <source>正在安装</source>
        <translation>Installing</translation>
    </message>
    <message>
        <source>等待 setup</source>
        <translation>Waiting for setup</translation>
    </message>
    <message>
        <source>在线</source>
        <translation>Online</translation>
    </message>
    <message>
        <source>需要处理</source>
        <translation>Needs attention</translation>
    </message>
    <message>
        <source>Agent is running in the background</source>
        <translation>Agent is running in the background</translation>
    </message>
    <message>
        <source>Agent 已连接</source>
        <translation>Agent connected</translation>
    </message>
    <message>
        <source>Quorvantis 尚未安装。</source>
        <translation>Quorvantis is not installed yet.</translation>
    </message>
    <message>
        <source>Quorvantis 正在准备运行环境。</source>
        <translation>Quorvantis is preparing the runtime.</translation>
    </message>
    <message>
        <source>输入 JIT Code 或 Setup Code 完成设备注册。</source>
        <translation>Enter a JIT Code or Setup Code to register the device.</translation>
    </message>
    <message>
        <source>Agent 已安装并启动。</source>
        <translation>The Agent is installed and running.</translation>
    </message>
    <message>
        <source>Quorvantis 尚未就绪，请查看详情。</source>
        <translation>Quorvantis is not ready yet; see the details.</translation>
    </message>
    <message>
        <source>Agent 没有响应，可以尝试重启 Agent。</source>
        <translation>The Agent is not responding; try restarting it.</translation>
    </message>
    <message>
        <source>Agent 自 %1 起没有响应，可以尝试重启 Agent。</source>
        <translation>The Agent has not responded since %1; try restarting it.</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>正在工作</source>
        <translation>Working</translation>
    </message>
    <message>
        <source>尚未收到</source>
        <translation>None yet</translation>
    </message>
    <message>
        <source>%1 秒前</source>
        <translation>%1 s ago</translation>
    </message>
    <message>
        <source>刚刚</source>
        <translation>Just now</translation>
    </message>
</context>
<context>
    <name>StatusCore</name>
    <message>
        <source>Quorvantis，%1</source>
        <translation>Quorvantis, %1</translation>
    </message>
</context>
<context>
    <name>StatusReport</name>
    <message>
        <source>未确认</source>
        <translation>unconfirmed</translation>
    </message>
    <message>
        <source>未授权</source>
        <translation>not granted</translation>
    </message>
    <message>
        <source>已授权</source>
        <translation>granted</translation>
    </message>
    <message>
        <source>已授权（待验证）</source>
        <translation>granted (to be verified)</translation>
    </message>
    <message>
        <source>尚未开始</source>
        <translation>not started</translation>
    </message>
    <message>
        <source>等待完成绑定</source>
        <translation>waiting for binding</translation>
    </message>
    <message>
        <source>已绑定</source>
        <translation>bound</translation>
    </message>
    <message>
        <source>%1 秒前</source>
        <translation>%1 seconds ago</translation>
    </message>
    <message>
        <source>刚刚</source>
        <translation>just now</translation>
    </message>
    <message>
        <source>安装阶段</source>
        <translation>Install stage</translation>
    </message>
    <message>
        <source>已完成</source>
        <translation>complete</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>not connected</translation>
    </message>
    <message>
        <source>正在工作</source>
        <translation>working</translation>
    </message>
    <message>
        <source>在线</source>
        <translation>online</translation>
    </message>
    <message>
        <source>%1响应</source>
        <translation>answered %1</translation>
    </message>
    <message>
        <source>Agent</source>
        <translation>Agent</translation>
    </message>
    <message>
        <source>系统权限</source>
        <translation>System permissions</translation>
    </message>
    <message>
        <source>Channel</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>（Agent %1 可更新）</source>
        <translation> (Agent %1 available)</translation>
    </message>
    <message>
        <source>版本</source>
        <translation>Versions</translation>
    </message>
    <message>
        <source>正在进行</source>
        <translation>Running</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>配置目录（Quorvantis 没有在运行）</source>
        <translation>profile directory (Quorvantis is not running)</translation>
    </message>
</context>
<context>
    <name>SystemStatusPane</name>
    <message>
        <source>更新 Agent</source>
        <translation>Update Agent</translation>
    </message>
    <message>
        <source>重启 Agent</source>
        <translation>Restart Agent</translation>
    </message>
    <message>
        <source>重新检查权限</source>
        <translation>Recheck permissions</translation>
    </message>
    <message>
        <source>打开日志目录</source>
        <translation>Open log folder</translation>
    </message>
    <message>
        <source>检查 App 更新</source>
        <translation>Check for app updates</translation>
    </message>
    <message>
        <source>Agent</source>
        <translation>Agent</translation>
    </message>
    <message>
        <source>连接状态</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>最近响应</source>
        <translation>Last response</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>App 版本</source>
        <translation>App version</translation>
    </message>
    <message>
        <source>Agent 版本</source>
        <translation>Agent version</translation>
    </message>
    <message>
        <source>登录时启动</source>
        <translation>Start at login</translation>
    </message>
    <message>
        <source>自动管理</source>
        <translation>Automatic</translation>
    </message>
    <message>
        <source>系统</source>
        <translation>System</translation>
    </message>
    <message>
        <source>权限</source>
        <translation>Permissions</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Actions</translation>
    </message>
    <message>
        <source>最后错误</source>
        <translation>Last error</translation>
    </message>
    <message>
        <source>已连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>正在更新 Agent…</source>
        <translation>Updating Agent…</translation>
    </message>
    <message>
        <source>更新 Agent 到最新版本并重新启动。</source>
        <translation>Update the Agent to the latest version and restart it.</translation>
    </message>
    <message>
        <source>安装完成后可重新检查权限。</source>
        <translation>Permissions can be rechecked once setup is complete.</translation>
    </message>
    <message>
        <source>重新检查系统权限。</source>
        <translation>Recheck the system permissions.</translation>
    </message>
</context>
<context>
    <name>UpdateController</name>
    <message>
        <source>Agent 已更新到 %1</source>
        <translation>Agent updated to %1</translation>
    </message>
    <message>
        <source>Agent 已更新</source>
        <translation>Agent updated</translation>
    </message>
    <message>
        <source>已更新 Agent</source>
        <translation>Agent updated</translation>
    </message>
    <message>
        <source>Agent %1 可更新</source>
        <translation>Agent %1 available</translation>
    </message>
</context>
<context>
    <name>Views</name>
    <message>
        <source>正在重启 Agent…</source>
        <translation>Restarting Agent…</translation>
    </message>
    <message>
        <source>正在检查权限…</source>
        <translation>Checking permissions…</translation>
    </message>
    <message>
        <source>正在重试…</source>
        <translation>Retrying…</translation>
    </message>
</context>
</TS>
