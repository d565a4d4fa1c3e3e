import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Kestrio.Window

// The host's one window: a scrolling column of cards over the model.
ApplicationWindow {
    id: window

    title: "Kestrio"
    width: 560
    height: 780
    minimumWidth: 560
    minimumHeight: 720
    color: Theme.backgroundTopLeft
    font.pixelSize: Theme.bodySize

    palette.window: "#1c2436"
    palette.windowText: Theme.primary
    palette.base: Qt.rgba(1, 1, 1, 0.08)
    palette.text: Theme.primary
    palette.button: Theme.controlFill
    palette.buttonText: Theme.primary
    palette.highlight: Theme.cyan
    palette.highlightedText: "white"
    palette.placeholderText: Qt.rgba(0.92, 0.93, 0.96, 0.4)
    palette.toolTipBase: "#2a3348"
    palette.toolTipText: Theme.primary

    background: DiagonalGradient {
        from: Theme.backgroundTopLeft
        to: Theme.backgroundBottomRight
    }

    Flickable {
        id: scroller
        objectName: "scroller"
        anchors.fill: parent
        contentWidth: width
        contentHeight: page.implicitHeight + 2 * page.y
        boundsBehavior: Flickable.StopAtBounds
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: page
            x: 24
            y: 24
            width: scroller.width - 2 * x
            spacing: 16

            // Header ------------------------------------------------------------------------
            RowLayout {
                spacing: 14
                Image {
                    objectName: "logo"
                    source: Host.logoSource
                    sourceSize: Qt.size(54, 54)
                    cache: false
                    Layout.preferredWidth: 54
                    Layout.preferredHeight: 54
                    fillMode: Image.PreserveAspectFit
                }
                ColumnLayout {
                    spacing: 3
                    Text {
                        text: "Kestrio"
                        font.pixelSize: Theme.titleSize
                        font.bold: true
                        color: Theme.primary
                    }
                    BilingualText {
                        objectName: "tagline"
                        korean: "어디서나 들고 다니는 두 번째 화면"
                        english: "A second screen you carry with you"
                        koreanSize: Theme.subheadlineSize
                        koreanColor: Theme.secondary
                    }
                }
            }

            RowLayout {
                spacing: 12
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 6
                    BilingualText {
                        objectName: "version"
                        Layout.fillWidth: true
                        korean: Host.wording.versionKorean + Host.versionText
                        english: Host.wording.versionEnglish + Host.versionText
                        koreanSize: Theme.footnoteSize
                        koreanColor: Theme.secondary
                    }
                    // What the last update check found; without a feed, where updates come from.
                    BilingualText {
                        objectName: "updateStatus"
                        visible: Host.updateStatusKorean !== ""
                        Layout.fillWidth: true
                        wrap: true
                        korean: Host.updateStatusKorean
                        english: Host.updateStatusEnglish
                        koreanSize: Theme.footnoteSize
                        koreanColor: Host.updateStatusIsFailure ? Theme.orange : Theme.secondary
                    }
                    TextEdit {
                        objectName: "updateDownloadLink"
                        visible: Host.updateDownloadURL !== ""
                        Layout.fillWidth: true
                        text: Host.updateDownloadURL
                        textFormat: TextEdit.PlainText
                        readOnly: true
                        selectByMouse: true
                        color: Theme.cyan
                        selectionColor: Theme.cyan
                        selectedTextColor: "white"
                        font.pixelSize: Theme.captionSize
                        wrapMode: TextEdit.WrapAnywhere
                    }
                }
                BilingualButton {
                    id: updateButton
                    objectName: "checkForUpdatesButton"
                    visible: Host.hasUpdateFeed
                    Layout.alignment: Qt.AlignTop
                    korean: "업데이트 확인"
                    english: "Check for Updates"
                    enabled: Host.canCheckForUpdates
                    onClicked: Host.checkForUpdates()
                    ToolTip.visible: hovered
                    ToolTip.text: Host.wording.updateHelp
                }
            }

            // Connection ----------------------------------------------------------------------
            Card {
                objectName: "connectionCard"
                Layout.fillWidth: true

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 12
                    Rectangle {
                        objectName: "statusDot"
                        implicitWidth: 12
                        implicitHeight: 12
                        radius: 6
                        color: Host.viewerConnected ? Theme.green : Theme.orange
                        Layout.alignment: Qt.AlignTop
                        Layout.topMargin: 4
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 8
                        BilingualText {
                            objectName: "statusTitle"
                            Layout.fillWidth: true
                            wrap: true
                            korean: Host.statusTitleKorean
                            english: Host.statusTitleEnglish
                            koreanSize: Theme.headlineSize
                            koreanWeight: Font.DemiBold
                        }
                        BilingualText {
                            objectName: "statusDetail"
                            Layout.fillWidth: true
                            wrap: true
                            korean: Host.statusDetailKorean
                            english: Host.statusDetailEnglish
                            koreanSize: Theme.subheadlineSize
                        }
                    }
                    Row {
                        objectName: "liveBadge"
                        visible: Host.isStreaming
                        spacing: 4
                        Layout.alignment: Qt.AlignTop
                        Icon {
                            symbol: "radio_waves"
                            size: 14
                            color: Theme.red
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        Text {
                            text: "LIVE"
                            font.pixelSize: Theme.captionSize
                            font.bold: true
                            color: Theme.red
                            anchors.verticalCenter: parent.verticalCenter
                        }
                    }
                }

                AddressRow {
                    objectName: "localAddress"
                    Layout.fillWidth: true
                    iconName: "network"
                    korean: "수동 연결 IP"
                    english: "Manual Connection IP"
                    value: Host.localIPAddress
                    canCopy: Host.canCopyLocalAddress
                    copied: Host.localAddressCopied
                    copyKorean: "IP 복사"
                    copyEnglish: "Copy IP"
                    onCopyRequested: Host.copyLocalAddress()
                }

                AddressRow {
                    objectName: "remoteAddress"
                    Layout.fillWidth: true
                    iconName: "globe"
                    korean: "외부 연결 주소"
                    english: "Remote Address"
                    value: Host.remoteEndpoint
                    canCopy: Host.canCopyRemoteEndpoint
                    copied: Host.remoteEndpointCopied
                    copyKorean: "주소 복사"
                    copyEnglish: "Copy Address"
                    onCopyRequested: Host.copyRemoteEndpoint()
                }

                // The browser viewer's page, when it is served: its address with the code, and
                // the same as a QR code for a phone's camera.
                ColumnLayout {
                    objectName: "browserPage"
                    visible: Host.browserLink !== ""
                    Layout.fillWidth: true
                    spacing: 8
                    AddressRow {
                        objectName: "browserLink"
                        Layout.fillWidth: true
                        iconName: "globe"
                        korean: "브라우저로 보기"
                        english: "View in a Browser"
                        value: Host.browserLink
                        canCopy: true
                        copied: Host.browserLinkCopied
                        copyKorean: "주소 복사"
                        copyEnglish: "Copy Address"
                        onCopyRequested: Host.copyBrowserLink()
                    }
                    Image {
                        objectName: "browserLinkCode"
                        Layout.preferredWidth: 164
                        Layout.preferredHeight: 164
                        sourceSize: Qt.size(164, 164)
                        smooth: false
                        source: Host.browserLink === "" ? "" : "image://qr/" + encodeURIComponent(Host.browserLink)
                    }
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    BilingualText {
                        korean: Host.wording.notificationAddressKorean
                        english: Host.wording.notificationAddressEnglish
                        koreanSize: Theme.subheadlineSize
                    }
                    TextField {
                        objectName: "notificationAddressField"
                        Layout.fillWidth: true
                        text: Host.notificationAddress
                        placeholderText: Host.wording.notificationPlaceholder
                        font.family: Host.koreanFontFamily
                        color: Theme.primary
                        selectByMouse: true
                        onTextEdited: Host.setNotificationAddress(text)
                        // Return or leaving the field: the address takes effect now.
                        onEditingFinished: Host.commitNotificationAddress()
                        background: Rectangle {
                            implicitHeight: 36
                            radius: 10
                            color: Qt.rgba(1, 1, 1, 0.08)
                            border.color: parent.activeFocus ? Theme.cyan : Theme.controlBorder
                            border.width: 1
                        }
                    }
                    ToggleRow {
                        objectName: "notificationToggle"
                        Layout.fillWidth: true
                        korean: Host.wording.notificationToggleKorean
                        english: Host.wording.notificationToggleEnglish
                        checked: Host.notificationsEnabled
                        onToggledTo: (on) => Host.setNotificationsEnabled(on)
                    }
                    BilingualText {
                        objectName: "notificationHelp"
                        Layout.fillWidth: true
                        wrap: true
                        korean: Host.wording.notificationHelpKorean
                        english: Host.wording.notificationHelpEnglish
                        koreanSize: Theme.footnoteSize
                        koreanColor: Theme.secondary
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 10
                        Text {
                            objectName: "notificationStatus"
                            Layout.fillWidth: true
                            text: Host.notificationStatus
                            textFormat: Text.PlainText
                            wrapMode: Text.Wrap
                            font.family: Host.koreanFontFamily
                            font.pixelSize: Theme.footnoteSize
                            color: Host.notificationStatusIsFailure ? Theme.orange : Theme.secondary
                        }
                        PlainButton {
                            objectName: "notificationSettingsButton"
                            visible: Host.notificationNeedsSettings
                            text: Host.wording.notificationButton
                            font.family: Host.koreanFontFamily
                            font.pixelSize: Theme.footnoteSize
                            font.weight: Font.DemiBold
                            onClicked: Host.requestNotificationAccess()
                        }
                    }
                }
            }

            // Display settings ------------------------------------------------------------------
            Card {
                objectName: "settingsCard"
                Layout.fillWidth: true

                BilingualText {
                    korean: "화면 설정"
                    english: "Display Settings"
                    koreanSize: Theme.headlineSize
                    koreanWeight: Font.DemiBold
                }

                LabeledControl {
                    Layout.fillWidth: true
                    korean: "사용 모드"
                    english: "Mode"
                    SegmentedPicker {
                        objectName: "mode"
                        width: parent.width
                        options: Host.modeOptions
                        currentIndex: Host.sourceModeIndex
                        onActivated: (index) => Host.selectSourceMode(index)
                    }
                }

                LabeledControl {
                    objectName: "resolutionRow"
                    visible: !Host.mirrorSelected
                    Layout.fillWidth: true
                    korean: "가상 모니터 해상도"
                    english: "Virtual Monitor Resolution"
                    OptionPicker {
                        objectName: "resolutionPicker"
                        width: parent.width
                        showEnglish: false
                        model: Host.resolutionOptions
                        selectedIndex: Host.resolutionIndex
                        onChosen: (index) => Host.selectResolution(index)
                        Accessible.name: "Virtual display resolution"
                    }
                }

                LabeledControl {
                    objectName: "displayRow"
                    visible: Host.mirrorSelected
                    Layout.fillWidth: true
                    korean: "공유할 화면"
                    english: "Display to Share"
                    Item {
                        width: parent.width
                        implicitHeight: Host.displayOptions.length > 0 ? displayPicker.implicitHeight : displaysLoading.implicitHeight
                        OptionPicker {
                            id: displayPicker
                            objectName: "displayPicker"
                            width: parent.width
                            visible: Host.displayOptions.length > 0
                            model: Host.displayOptions
                            selectedIndex: Host.selectedDisplayIndex
                            onChosen: (index) => Host.selectDisplay(index)
                        }
                        BilingualText {
                            id: displaysLoading
                            objectName: "displaysLoading"
                            visible: Host.displayOptions.length === 0
                            korean: "화면을 불러오는 중…"
                            english: "Loading displays…"
                            koreanColor: Theme.secondary
                        }
                    }
                }

                LabeledControl {
                    Layout.fillWidth: true
                    korean: "화질"
                    english: "Quality"
                    SegmentedPicker {
                        objectName: "quality"
                        width: parent.width
                        options: Host.qualityOptions
                        currentIndex: Host.qualityIndex
                        onActivated: (index) => Host.selectQuality(index)
                    }
                }

                LabeledControl {
                    Layout.fillWidth: true
                    korean: "프레임"
                    english: "Frame Rate"
                    SegmentedPicker {
                        objectName: "frameRate"
                        width: parent.width
                        showEnglish: false
                        options: Host.frameRateOptions
                        currentIndex: Host.frameRateIndex
                        onActivated: (index) => Host.selectFrameRate(index)
                    }
                }

                WarningRow {
                    objectName: "screenPermission"
                    visible: Host.screenPermissionNeeded
                    Layout.fillWidth: true
                    iconName: "dashed_rectangle"
                    korean: Host.wording.screenRowKorean
                    english: Host.wording.screenRowEnglish
                    buttonKorean: Host.wording.screenButtonKorean
                    buttonEnglish: Host.wording.screenButtonEnglish
                    onButtonClicked: Host.requestScreenRecordingPermission()
                }

                WarningRow {
                    objectName: "touchPermission"
                    visible: Host.touchPermissionNeeded
                    Layout.fillWidth: true
                    iconName: "hand_tap"
                    korean: Host.wording.touchRowKorean
                    english: Host.wording.touchRowEnglish
                    buttonKorean: Host.wording.touchButtonKorean
                    buttonEnglish: Host.wording.touchButtonEnglish
                    onButtonClicked: Host.requestTouchControlPermission()
                }

                WarningRow {
                    objectName: "pointerConfined"
                    visible: Host.virtualMonitorUnreachable
                    Layout.fillWidth: true
                    iconName: "hand_tap"
                    korean: Host.wording.pointerConfinedRowKorean
                    english: Host.wording.pointerConfinedRowEnglish
                    buttonKorean: Host.wording.pointerConfinedButtonKorean
                    buttonEnglish: Host.wording.pointerConfinedButtonEnglish
                    onButtonClicked: Host.useScreenMirroring()
                }

                WarningRow {
                    objectName: "settingsUnsaved"
                    visible: Host.settingsUnsaved
                    Layout.fillWidth: true
                    iconName: "exclamation_triangle"
                    korean: Host.wording.settingsUnsavedRowKorean
                    english: Host.wording.settingsUnsavedRowEnglish
                    buttonKorean: Host.wording.settingsRetryButtonKorean
                    buttonEnglish: Host.wording.settingsRetryButtonEnglish
                    onButtonClicked: Host.retrySettingsSave()
                }

                ToggleRow {
                    objectName: "launchAtLogin"
                    Layout.fillWidth: true
                    korean: Host.wording.launchAtLoginKorean
                    english: Host.wording.launchAtLoginEnglish
                    checked: Host.launchAtLogin
                    onToggledTo: (on) => Host.setLaunchAtLogin(on)
                }

                ToggleRow {
                    objectName: "autoStart"
                    Layout.fillWidth: true
                    korean: "iPhone 연결 시 화면 전송 자동 시작"
                    english: "Start screen streaming when iPhone connects"
                    checked: Host.autoStartOnConnect
                    onToggledTo: (on) => Host.setAutoStartOnConnect(on)
                }
            }

            // Start and stop ------------------------------------------------------------------
            Button {
                id: startStop
                objectName: "startStopButton"
                Layout.fillWidth: true
                enabled: Host.canStartOrStop
                onClicked: Host.startOrStopStreaming()
                padding: 10
                background: Rectangle {
                    implicitHeight: 54
                    radius: 12
                    color: Host.isStreaming ? Theme.red : Theme.cyan
                    opacity: startStop.enabled ? (startStop.down ? 0.8 : 1) : 0.4
                }
                contentItem: Item {
                    implicitHeight: label.implicitHeight
                    Row {
                        anchors.centerIn: parent
                        spacing: 10
                        Icon {
                            symbol: Host.isStreaming ? "stop" : "play"
                            size: 18
                            color: "white"
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        BilingualText {
                            id: label
                            objectName: "startStopLabel"
                            korean: Host.isStreaming ? "전송 중지" : "화면 전송 시작"
                            english: Host.isStreaming ? "Stop Streaming" : "Start Screen Streaming"
                            koreanSize: Theme.headlineSize
                            koreanWeight: Font.DemiBold
                            koreanColor: "white"
                            englishColor: Qt.rgba(1, 1, 1, 0.8)
                            anchors.verticalCenter: parent.verticalCenter
                        }
                    }
                }
            }

            // Guidance ------------------------------------------------------------------------
            BilingualText {
                objectName: "hint"
                Layout.fillWidth: true
                wrap: true
                korean: Host.hintKorean
                english: Host.hintEnglish
                koreanSize: Theme.footnoteSize
                koreanColor: Theme.secondary
            }
        }
    }
}
