/* Tovanel skin: a calm flat look on the button-face background.
   Every rule that paints a background names its text colour too, so a dark desktop palette never puts
   light text on the skin's light surfaces; text on the button face keeps the system's own pair.
   Focus is a near-black ring on the light controls and a white one on the blue "Start Converting". */
QPushButton {
    background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfdfd, stop:1 #e4e8ee);
    border: 1px solid #8a97a8;
    border-radius: 4px;
    color: #1d2b3a;
    padding: 2px 8px;
}
QPushButton:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #d6e4f5); border-color: #3d7cc9; }
QPushButton:pressed { background-color: #c3d6ee; }
QPushButton:focus { border: 2px solid #10243a; padding: 1px 7px; }
QPushButton:disabled { color: #6b7580; border-color: #c2c8cf; }
QPushButton#PushButton2 { color: #ffffff; border-color: #1f5fa8;
    background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2f6fbf, stop:1 #1f579a); }
QPushButton#PushButton2:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a7dcf, stop:1 #2462ad); }
QPushButton#PushButton2:focus { border: 3px solid #ffffff; padding: 0px 6px; }
QPushButton#PushButton2:disabled { color: #6b7580; border-color: #c2c8cf;
    background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfdfd, stop:1 #e4e8ee); }
QGroupBox { border: 1px solid #a9b4c2; border-radius: 5px; margin-top: 10px; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 4px; color: palette(button-text); }
QGroupBox#Frame4 { border: none; margin-top: 0px; }
QTreeWidget { background: #ffffff; color: #1d2b3a; border: 1px solid #8a97a8; alternate-background-color: #f3f6fa;
    selection-background-color: #2f6fbf; selection-color: #ffffff; }
QTreeWidget:focus { border: 2px solid #10243a; }
QHeaderView { background: #e4e8ee; }
QHeaderView::section { background: #e4e8ee; color: #1d2b3a; border: none; border-bottom: 1px solid #a9b4c2; padding: 3px; }
QRadioButton::indicator { width: 12px; height: 12px; border: 1px solid #5b6570; border-radius: 7px; background: #ffffff; }
QRadioButton::indicator:checked { background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5,
    stop:0 #1f579a, stop:0.5 #1f579a, stop:0.6 #ffffff, stop:1 #ffffff); }
QRadioButton::indicator:focus { border: 2px solid #10243a; }
QRadioButton::indicator:disabled { border-color: #a9b4c2; background: #eef0f3; }
QRadioButton::indicator:checked:disabled { background: qradialgradient(cx:0.5, cy:0.5, radius:0.5, fx:0.5, fy:0.5,
    stop:0 #7d8a9b, stop:0.5 #7d8a9b, stop:0.6 #eef0f3, stop:1 #eef0f3); }
QLineEdit { background: #ffffff; color: #1d2b3a; border: 1px solid #8a97a8; border-radius: 3px; padding: 1px 3px;
    selection-background-color: #2f6fbf; selection-color: #ffffff; }
QLineEdit:focus { border: 2px solid #10243a; padding: 0px 2px; }
QLineEdit:disabled { background: #eef0f3; color: #5b6570; }
QProgressBar { border: 1px solid #8a97a8; border-radius: 4px; background: #ffffff; text-align: center; color: #1d2b3a; }
QProgressBar::chunk { background-color: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #7fc37f, stop:1 #4caf50); border-radius: 3px; }
