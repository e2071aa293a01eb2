/* Tovanel skin: a calm flat look on the button-face background. */
QPushButton {
    background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfdfd, stop:1 #e4e8ee);
    border: 1px solid #8a97a8;
    border-radius: 4px;
    color: #1d2b3a;
    padding: 2px 8px;
}
QPushButton:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #d6e4f5); border-color: #3d7cc9; }
QPushButton:pressed { background-color: #c3d6ee; }
QPushButton:disabled { color: #9aa3ad; border-color: #c2c8cf; }
QPushButton#PushButton2 { color: #ffffff; border-color: #1f5fa8;
    background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4a90e2, stop:1 #2869b8); }
QPushButton#PushButton2:hover { background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5b9ff0, stop:1 #2f77cc); }
QGroupBox { border: 1px solid #a9b4c2; border-radius: 5px; margin-top: 10px; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 4px; color: #1d2b3a; }
QGroupBox#Frame4 { border: none; margin-top: 0px; }
QTreeWidget { background: #ffffff; border: 1px solid #8a97a8; alternate-background-color: #f3f6fa; }
QHeaderView::section { background: #e4e8ee; border: none; border-bottom: 1px solid #a9b4c2; padding: 3px; }
QLineEdit { background: #ffffff; border: 1px solid #8a97a8; border-radius: 3px; padding: 1px 3px; }
QLineEdit:disabled { background: #eef0f3; color: #7d8690; }
QProgressBar { border: 1px solid #8a97a8; border-radius: 4px; background: #ffffff; text-align: center; color: #1d2b3a; }
QProgressBar::chunk { background-color: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #7fc37f, stop:1 #4caf50); border-radius: 3px; }
